#include "program/run.h"

int main(int argc, char** argv)
{
    return run_kestrine(argc, argv);
}
