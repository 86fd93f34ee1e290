#include "run.h"

int main(int argc, char** argv)
{
    run_kestrine(argc, argv);
}
