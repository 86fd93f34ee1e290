// tshark's whole dissection of a capture, frame by frame, read as it is
// printed (PDML through a pipe), so that two captures of thousands of
// frames compare in constant memory. What a decrypted twin of a frame
// must show differently from the protected frame (the Protected bit, the
// security header, lengths and what tshark derives from them) is left out.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace test {

struct dissected_frame {
    std::string protocols;           // frame.protocols
    bool is_protected = false;       // wlan.fc.protected
    bool group_addressed = false;    // wlan.ra
    long prism_frame_length = -1;    // the Prism header's frame length item, where it has one
    std::vector<std::string> fields; // "name=shown value", in order, those compared
    // tshark opened the frame: protected, and its body read as more than data.
    bool opened() const;
};

// tshark -T pdml over `capture`, `options` (e.g. -o key settings) added.
class tshark_dissection {
public:
    tshark_dissection(const std::filesystem::path& capture, const std::vector<std::string>& options);
    ~tshark_dissection();
    tshark_dissection(const tshark_dissection&) = delete;
    tshark_dissection& operator=(const tshark_dissection&) = delete;
    // The next frame; false at the end.
    bool next(dissected_frame& frame);
    // tshark's exit status, once every frame is read.
    int finish();

private:
    std::FILE* pipe_ = nullptr;
    int status_ = -1;
};

// tshark's -o options for 802.11 decryption with these keys (type, key
// as its uat:80211_keys table takes them), an FCS checked where the
// capture header announces one.
std::vector<std::string> tshark_key_options(const std::vector<std::pair<std::string, std::string>>& keys);

// The first field where two frames' dissections differ, or "" when they
// do not.
std::string first_difference(const dissected_frame& expected, const dissected_frame& found);

} // namespace test
