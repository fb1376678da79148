#include "comm/can/provisioning.hpp"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "comm/can/child_process.hpp"
#include "base/console.hpp"

namespace quorix {

namespace {

constexpr std::string_view REQUIRED_BITRATE_TEXT = "1000000";

// Splits off the next line ("\n"-terminated, a "\r" before the "\n" dropped).
std::string_view next_line(std::string_view& rest) noexcept {
    const std::size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
    if (nl != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

std::string_view first_word(std::string_view line) noexcept {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) return {};
    line.remove_prefix(start);
    return line.substr(0, line.find_first_of(" \t"));
}

void print_needs_configuration(std::string_view name, const LinkState& state) {
    std::string line = "[CAN] Interface '";
    line += name;
    line += "' needs configuration (up=";
    line += state.up ? "true" : "false";
    line += ", bitrate=";
    line += state.bitrate ? std::to_string(*state.bitrate) : "none";
    line += "), configuring...\n";
    write_stderr(line);
}

// The words after "ip" of one `ip link set` command.
using IpArgs = std::vector<std::string_view>;

std::string joined(const IpArgs& args) {
    std::string text;
    for (std::string_view a : args) {
        if (!text.empty()) text += ' ';
        text += a;
    }
    return text;
}

IpArgs with_prefix(IpArgs prefix, const IpArgs& args) {
    prefix.insert(prefix.end(), args.begin(), args.end());
    return prefix;
}

// Output captured and never shown; a command that cannot start counts as failed.
bool run_unprivileged(const IpArgs& args) {
    auto result = run_captured(with_prefix({"ip"}, args));
    return result && result->status.success();
}

// Output inherited, so sudo can ask for a password on the terminal.
IoResult<void> run_privileged(const IpArgs& args) {
    auto result = run_inherited(with_prefix({"sudo", "ip"}, args));
    if (!result)
        return IoError::other("Failed to run 'sudo ip " + joined(args) + "': " + result.error().text);
    if (!result->success()) return IoError::permission_denied("'sudo ip " + joined(args) + "' failed");
    return {};
}

// Runs the steps unprivileged; at the first failure starts over from the first step through
// sudo. Steps that already succeeded are not undone.
IoResult<void> apply(std::initializer_list<IpArgs> steps) {
    if (std::ranges::all_of(steps, run_unprivileged)) return {};  // stops at the first failure
    write_stderr("[CAN] Need elevated privileges, requesting sudo...\n");
    for (const IpArgs& step : steps) {
        if (auto r = run_privileged(step); !r) return r;
    }
    return {};
}

}  // namespace

bool parse_link_up(std::string_view out) noexcept {
    const std::size_t open = out.find('<');
    if (open == std::string_view::npos) return false;
    const std::size_t close = out.find('>', open + 1);
    if (close == std::string_view::npos) return false;
    std::string_view flags = out.substr(open + 1, close - open - 1);
    for (;;) {
        const std::size_t comma = flags.find(',');
        if (flags.substr(0, comma) == "UP") return true;
        if (comma == std::string_view::npos) return false;
        flags.remove_prefix(comma + 1);
    }
}

std::optional<std::uint32_t> parse_bitrate(std::string_view out) noexcept {
    constexpr std::string_view KEY = "bitrate ";
    while (!out.empty()) {
        const std::string_view line = next_line(out);
        const std::size_t at = line.find(KEY);
        if (at == std::string_view::npos) continue;
        std::uint64_t value = 0;
        std::size_t digits = 0;
        for (char c : line.substr(at + KEY.size())) {
            if (c < '0' || c > '9') break;
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
            if (value > UINT32_MAX) return std::nullopt;
            ++digits;
        }
        if (digits == 0) return std::nullopt;
        return static_cast<std::uint32_t>(value);
    }
    return std::nullopt;
}

LinkKind parse_link_kind(std::string_view out) noexcept {
    while (!out.empty()) {
        if (first_word(next_line(out)) != "link/can") continue;
        // The details line naming the link kind follows; skip blank and altname lines.
        while (!out.empty()) {
            const std::string_view word = first_word(next_line(out));
            if (word.empty() || word == "altname") continue;
            return word == "vcan" || word == "vxcan" ? LinkKind::VirtualCan : LinkKind::Can;
        }
        return LinkKind::Can;
    }
    return LinkKind::NotCan;
}

LinkState parse_link_details(std::string_view out) noexcept {
    return {parse_link_up(out), parse_bitrate(out), parse_link_kind(out)};
}

IoResult<void> ensure_can_interface(std::string_view name) {
    // No program can receive such an argument: refuse before anything runs.
    if (name.find('\0') != std::string_view::npos)
        return IoError::other("Failed to run ip: interface name contains a NUL byte");
    const std::string_view inspect_argv[] = {"ip", "-details", "link", "show", name};
    auto inspect = run_captured(inspect_argv);
    if (!inspect) return IoError::other("Failed to run ip: " + inspect.error().text);
    if (!inspect->status.success())
        return IoError::not_found("CAN interface '" + std::string(name) + "' does not exist");

    // ip prints ASCII keywords; reading the raw bytes finds the same ones as decoding the
    // output as UTF-8 with replacement would.
    const LinkState state = parse_link_details(inspect->out);
    // Taking down and retyping an Ethernet or other link would cut it off; refuse it untouched.
    if (state.kind == LinkKind::NotCan)
        return IoError::invalid_input("Interface '" + std::string(name) + "' is not a CAN interface");
    const IpArgs up = {"link", "set", name, "up"};
    if (state.kind == LinkKind::VirtualCan) {
        if (state.up) return {};  // a virtual bus has no bitrate
        print_needs_configuration(name, state);
        return apply({up});
    }
    if (state.up && state.bitrate == REQUIRED_BITRATE) return {};
    print_needs_configuration(name, state);
    const IpArgs down = {"link", "set", name, "down"};
    const IpArgs configure = {"link", "set", name, "type", "can", "bitrate", REQUIRED_BITRATE_TEXT};
    return apply({down, configure, up});
}

}  // namespace quorix
