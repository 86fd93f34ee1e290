#include "tshark_dissection.h"

#include "test_support.h"

#include <sys/wait.h>

#include <set>
#include <stdexcept>
#include <string_view>

namespace test {

namespace {

std::string shell_quoted(const std::string& text)
{
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The value of attribute `name` in one PDML line, "" when absent.
std::string attribute(std::string_view line, std::string_view name)
{
    // Appended piece by piece: GCC 12 at -O3 takes `"literal" + string`
    // for an overlapping copy and fails a -Werror build.
    std::string key = " ";
    key += name;
    key += "=\"";
    const std::size_t at = line.find(key);
    if (at == std::string_view::npos)
        return {};
    const std::size_t start = at + key.size();
    return std::string(line.substr(start, line.find('"', start) - start));
}

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }
bool ends_with(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Fields a decrypted frame shows otherwise than the protected one, by
// necessity: the Protected bit and the flags that hold it (in the 802.11
// header and in radiotap's Flags), the lengths, the FCS value (its status
// is compared), and the Prism header's frame length (checked apart).
const std::set<std::string, std::less<>> own_value_differs = {
    "frame.len",     "frame.cap_len",  "wlan.fc", "wlan.flags", "wlan.fc.protected", "radiotap.flags",
    "radiotap.flags.wep", "wlan.fcs", "prism.did.frmlen", "prism.frmlen.data",
};

// Subtrees left out whole: what pcapng adds to a frame, the airtime tshark
// works out from the frame's length, what decryption itself shows (the
// keys used) and what depends on the frames tshark opened before.
bool subtree_left_out(const std::string& name, const std::string& shown)
{
    static const std::set<std::string, std::less<>> names = {
        "frame.section_number", "frame.interface_id", "wlan_radio.duration", "wlan_radio.start_tsf",
        "wlan_radio.end_tsf",
    };
    // A conversation's index (udp.stream) and times (udp.time_delta) count
    // the frames tshark has opened in it before this one.
    return names.count(name) != 0 || starts_with(name, "wlan.analysis.") || ends_with(name, ".stream") ||
           ends_with(name, ".time_delta") || ends_with(name, ".time_relative") ||
           (name.empty() && ends_with(shown, " parameters")); // CCMP, GCMP, TKIP, WEP parameters
}

} // namespace

bool dissected_frame::opened() const { return is_protected && !ends_with(protocols, "wlan:data"); }

tshark_dissection::tshark_dissection(const std::filesystem::path& capture, const std::vector<std::string>& options)
{
    std::string command = "exec ";
    command += shell_quoted(tshark_path());
    command += " -r ";
    command += shell_quoted(capture.string());
    for (const std::string& option : options) {
        command += ' ';
        command += shell_quoted(option);
    }
    command += " -T pdml 2>/dev/null";
    pipe_ = popen(command.c_str(), "r");
    if (pipe_ == nullptr)
        throw std::runtime_error("cannot start tshark");
}

tshark_dissection::~tshark_dissection() { finish(); }

int tshark_dissection::finish()
{
    if (pipe_ != nullptr) {
        while (std::fgetc(pipe_) != EOF) {
        }
        const int status = pclose(pipe_);
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pipe_ = nullptr;
    }
    return status_;
}

bool tshark_dissection::next(dissected_frame& frame)
{
    frame = {};
    bool in_packet = false;
    int depth = 0;           // open elements within the packet
    int skipping_below = -1; // elements deeper than this are left out
    char buffer[65536];
    std::string line;
    while (pipe_ != nullptr && std::fgets(buffer, sizeof buffer, pipe_) != nullptr) {
        line += buffer;
        if (line.back() != '\n')
            continue; // a longer line: read on
        std::string_view text(line);
        text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
        const bool closes = starts_with(text, "</field>") || starts_with(text, "</proto>");
        if (starts_with(text, "<packet>")) {
            in_packet = true;
        } else if (starts_with(text, "</packet>")) {
            return true;
        } else if (in_packet && closes) {
            if (--depth == skipping_below)
                skipping_below = -1;
        } else if (in_packet && (starts_with(text, "<field ") || starts_with(text, "<proto "))) {
            const bool leaf = ends_with(text, "/>\n");
            const std::string name = attribute(text, "name");
            const std::string shown = attribute(text, "show");
            if (skipping_below < 0) {
                if (name == "frame.protocols")
                    frame.protocols = shown;
                if (name == "wlan.fc.protected")
                    frame.is_protected = shown == "1";
                if (name == "wlan.ra")
                    frame.group_addressed = shown.size() > 1 && (std::stoi(shown.substr(0, 2), nullptr, 16) & 1) != 0;
                if (name == "prism.frmlen.data")
                    frame.prism_frame_length = std::stol(shown);
                const bool proto = starts_with(text, "<proto ");
                if ((proto && name == "geninfo") || (!proto && subtree_left_out(name, shown))) {
                    if (!leaf)
                        skipping_below = depth;
                } else if (!proto && own_value_differs.count(name) == 0) {
                    frame.fields.push_back(name + "=" + shown);
                }
                // The Key Data of an EAPOL-Key frame: tshark shows what it
                // holds only where it has the keys to unwrap it.
                if (!leaf && name == "wlan_rsna_eapol.keydes.data")
                    skipping_below = depth;
            }
            if (!leaf)
                ++depth;
        }
        line.clear();
    }
    return false;
}

std::vector<std::string> tshark_key_options(const std::vector<std::pair<std::string, std::string>>& keys)
{
    // wlan.check_checksum validates an FCS the capture header announces
    // (wlan.check_fcs would assume one in every frame).
    std::vector<std::string> options = {"-o", "wlan.enable_decryption:TRUE", "-o", "wlan.check_checksum:TRUE"};
    for (const auto& [type, key] : keys)
        options.insert(options.end(), {"-o", "uat:80211_keys:\"" + type + "\",\"" + key + "\""});
    return options;
}

std::string first_difference(const dissected_frame& expected, const dissected_frame& found)
{
    const std::size_t common = std::min(expected.fields.size(), found.fields.size());
    for (std::size_t i = 0; i < common; ++i)
        if (expected.fields[i] != found.fields[i])
            return "field " + std::to_string(i) + ": " + expected.fields[i] + " expected, " + found.fields[i] +
                   " found";
    if (expected.fields.size() != found.fields.size())
        return std::to_string(expected.fields.size()) + " fields expected, " + std::to_string(found.fields.size()) +
               " found; the first extra: " +
               (expected.fields.size() > common ? expected.fields[common] : found.fields[common]);
    return {};
}

} // namespace test
