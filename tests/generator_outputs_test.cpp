// The generator's captures, pinned by digest: the same arguments always
// write the same bytes. The mixes and networks that existed before the
// generator learned the newer suites keep the digests taken from that
// release's binary; the newer networks keep those of the captures tshark
// decrypted when they were added (the decryption oracle test checks them
// afresh). Captures written by other tests and by the benchmarks follow
// from these, so a change here moves their inputs too.
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct pinned_capture {
    const char* name;
    std::vector<std::string> args;
    std::uint64_t digest;
};

const std::string pmk = "6b0e3f7a1c2d4e5f60718293a4b5c6d7e8f9011223344556677889900aabbccd";
const std::string pmk384 = pmk + "0f1e2d3c4b5a69788796a5b4c3d2e1f0";
const std::vector<std::string> passphrase = {"--passphrase", "correct_horse", "--ssid", "kestrine-lab"};

std::vector<std::string> join(std::vector<std::string> head, const std::vector<std::string>& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

class generator_output : public testing::TestWithParam<pinned_capture> {};

TEST_P(generator_output, keeps_its_digest)
{
    const auto& c = GetParam();
    test::scratch_dir dir;
    const auto written = test::run_program(join(join({KESTRINE_GEN_BINARY}, c.args), {(dir / "out.pcap").string()}));
    ASSERT_EQ(written.status, 0) << written.err;
    const std::uint64_t digest = test::digest(test::read_file(dir / "out.pcap"));
    EXPECT_EQ(digest, c.digest) << std::hex << digest;
}

INSTANTIATE_TEST_SUITE_P(
    every_mode, generator_output,
    testing::Values(
        pinned_capture{"busy_radiotap", {"--records", "2000", "--seed", "3"}, 0xd517259411772df5u},
        pinned_capture{"busy_bare_small", {"--link", "bare", "--small", "--records", "1500", "--seed", "4"},
                       0xdb04938cc6760187u},
        pinned_capture{"busy_prism_bytes", {"--link", "prism", "--bytes", "200000", "--seed", "5"}, 0xdd764a3ebaadc903u},
        pinned_capture{"full_decode_ppi", {"--link", "ppi", "--full-decode-mix", "--records", "1200", "--seed", "6"},
                       0xa749afe6a1acbf71u},
        pinned_capture{"ccmp", join({"--encrypt", "ccmp", "--stations", "3", "--records", "800", "--seed", "7"}, passphrase),
                       0x71c74d2ba5762d84u},
        pinned_capture{"tkip_twin",
                       join({"--encrypt", "tkip", "--records", "800", "--seed", "8", "--unencrypted-twin"}, passphrase),
                       0x71a540c99ff7953fu},
        pinned_capture{"wep_full_decode",
                       {"--encrypt", "wep", "--wep-key", "0a0b0c0d0e", "--full-decode-mix", "--records", "800", "--seed", "9"},
                       0xd755b20e21712583u},
        pinned_capture{"ccmp_full_decode",
                       join({"--encrypt", "ccmp", "--full-decode-mix", "--records", "800", "--seed", "10"}, passphrase),
                       0xcd1e7ae0ea1cc1f3u},
        pinned_capture{"sae", {"--encrypt", "ccmp", "--akm", "8", "--pmk", pmk, "--records", "600", "--seed", "11"},
                       0x1cfd878c4674a488u},
        // tshark 4.0 derives OWE's keys with SHA-256 whatever the group, so
        // nothing but this digest holds group 20's capture in place.
        pinned_capture{"owe_group_20",
                       {"--encrypt", "ccmp", "--akm", "18", "--owe-group", "20", "--pmk", pmk384, "--records", "600",
                        "--seed", "12"},
                       0xa016e255bb00006fu},
        pinned_capture{"suite_b_192",
                       {"--encrypt", "gcmp256", "--akm", "12", "--pmk", pmk384, "--records", "600", "--seed", "13"},
                       0xed63b1c2edbd2e22u},
        pinned_capture{"gcmp_8021x",
                       {"--encrypt", "gcmp", "--akm", "1", "--pmk", pmk, "--link", "bare", "--records", "600", "--seed",
                        "14"},
                       0x3aa6563814b73553u},
        pinned_capture{"ccmp256_group_handshake",
                       join({"--encrypt", "ccmp256", "--group-handshake", "--records", "600", "--seed", "15"}, passphrase),
                       0xc7707b89ba16f1acu},
        pinned_capture{"extended_key_id",
                       {"--encrypt", "ccmp", "--akm", "6", "--pmk", pmk, "--extended-key-id", "--stations", "3",
                        "--records", "600", "--seed", "16"},
                       0x751edaa5e42f785u},
        pinned_capture{"ft_psk", join({"--encrypt", "ccmp", "--ft", "--stations", "3", "--records", "700", "--seed", "17"},
                                      passphrase),
                       0xa0e87aecb4469f63u},
        pinned_capture{"tdls", join({"--encrypt", "ccmp", "--tdls", "--records", "600", "--seed", "18"}, passphrase),
                       0xeec3afe7029a4866u},
        pinned_capture{"wpa1_tkip", join({"--encrypt", "tkip", "--wpa1", "--records", "600", "--seed", "19"}, passphrase),
                       0x445826fa064f47a5u},
        pinned_capture{"wpa1_ccmp",
                       join({"--encrypt", "ccmp", "--wpa1", "--stations", "3", "--records", "600", "--seed", "20"},
                            passphrase),
                       0x37b08d7669aeb793u},
        pinned_capture{"ft_8021x",
                       {"--encrypt", "ccmp", "--ft", "--akm", "3", "--pmk", pmk + pmk, "--stations", "3", "--records",
                        "700", "--seed", "21"},
                       0xf7825fa0253187adu},
        pinned_capture{"mlo2_psk",
                       join({"--encrypt", "ccmp", "--mlo-links", "2", "--records", "600", "--seed", "22"}, passphrase),
                       0x58639fc52784314cu},
        pinned_capture{"mlo3_sae_ext_key",
                       {"--encrypt", "gcmp256", "--mlo-links", "3", "--akm", "24", "--sae-group", "20", "--pmk", pmk384,
                        "--mlo-rekey-link-kdes", "--mlo-rekey-elsewhere", "--stations", "3", "--records", "600",
                        "--seed", "23"},
                       0xf87b4ca1a5709d61u}),
    [](const testing::TestParamInfo<pinned_capture>& row) { return std::string(row.param.name); });

} // namespace
