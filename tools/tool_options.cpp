#include "tool_options.h"

#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace kolvtool {
namespace {

// Above any option character, so table entries never clash with getopt's own codes.
constexpr int kFirstId = 256;
// "-": arguments come back in order (code 1 for a non-option); ":": a missing
// value is told apart from an unknown option. No short options: next() reads
// single-dash words itself.
constexpr const char* kGetoptFlags = "-:";

bool isSingleDashWord(const char* word) { return word[0] == '-' && word[1] != '-' && word[1] != '\0'; }

// Uses getopt's global state: one reader per process.
class ArgReader {
public:
    ArgReader(int argc, char** argv, std::span<const OptionName> names);
    ArgReader(const ArgReader&) = delete;
    ArgReader& operator=(const ArgReader&) = delete;

    Arg next();

private:
    Arg classify(int code, int at) const;
    bool typedInFull(std::size_t index, int at) const;

    int argc_;
    char** argv_;
    std::span<const OptionName> names_;
    std::vector<option> longOptions_;
};

}  // namespace

ArgReader::ArgReader(int argc, char** argv, std::span<const OptionName> names)
    : argc_(argc), argv_(argv), names_(names) {
    opterr = 0;  // each tool words its own messages
    for (std::size_t i = 0; i <= names_.size(); ++i) {
        const bool isHelp = i == names_.size();
        option entry{};
        entry.name = isHelp ? "help" : names_[i].name;
        entry.has_arg = !isHelp && names_[i].takesValue ? required_argument : no_argument;
        entry.val = kFirstId + static_cast<int>(i);
        longOptions_.push_back(entry);
    }
    longOptions_.push_back(option{});
}

Arg ArgReader::next() {
    const int at = optind;
    if (at < argc_ && isSingleDashWord(argv_[at])) {
        // Only "-h" is an option; any other such word comes back as a plain
        // argument, never as a cluster of short options.
        ++optind;
        const std::string text = argv_[at];
        return Arg{text == "-h" ? ArgKind::Help : ArgKind::Positional, 0, text, text};
    }
    const int code = getopt_long(argc_, argv_, kGetoptFlags, longOptions_.data(), nullptr);
    if (code != -1) return classify(code, at);
    // getopt takes "--" as the end of options; these tools never had that.
    if (at < argc_ && std::strcmp(argv_[at], "--") == 0) return Arg{ArgKind::Unknown, 0, "", "--"};
    return Arg{};
}

Arg ArgReader::classify(int code, int at) const {
    Arg arg;
    arg.text = at < argc_ ? argv_[at] : "";
    arg.value = optarg != nullptr ? optarg : "";
    if (code == 1) {
        arg.kind = ArgKind::Positional;
        return arg;
    }
    // A missing value comes as ':', with the option's code in optopt.
    const int matched = code == ':' ? optopt : code;
    if (matched < kFirstId || !typedInFull(static_cast<std::size_t>(matched - kFirstId), at)) {
        arg.kind = ArgKind::Unknown;
    } else if (code == ':') {
        // Some getopt builds also answer a value given to an option without values so.
        arg.kind = arg.text.find('=') == std::string::npos ? ArgKind::MissingValue : ArgKind::Unknown;
    } else {
        arg.id = static_cast<std::size_t>(matched - kFirstId);
        arg.kind = arg.id == names_.size() ? ArgKind::Help : ArgKind::Option;
    }
    return arg;
}

// getopt_long also takes unambiguous abbreviations; the tools never did.
bool ArgReader::typedInFull(std::size_t index, int at) const {
    const std::string_view name = longOptions_[index].name;
    const std::string_view typed = argv_[at];
    if (typed.substr(0, 2) != "--" || typed.substr(2, name.size()) != name) return false;
    return typed.size() == name.size() + 2 || typed[name.size() + 2] == '=';
}

int unknownArg(const Arg& arg, const ArgWording& wording) {
    const std::string shown = wording.unknownByFlag ? arg.flag() : arg.text;
    std::fprintf(stderr, "%s: %s %s%s\n", wording.tool, wording.unknown, shown.c_str(), wording.tail);
    if (wording.usageAfterUnknown) std::fputs(wording.usage, stderr);
    return kExitUsage;
}

int needsValue(const Arg& arg, const ArgWording& wording) {
    std::fprintf(stderr, "%s: %s needs a value%s\n", wording.tool, arg.text.c_str(), wording.tail);
    return kExitUsage;
}

int readArgs(int argc, char** argv, std::span<const OptionName> names, const ArgWording& wording,
             const std::function<int(const Arg&)>& onArg) {
    ArgReader reader(argc, argv, names);
    for (Arg arg = reader.next(); arg.kind != ArgKind::End; arg = reader.next()) {
        int code = kGoOn;
        if (arg.kind == ArgKind::Help || (wording.questionMarkHelps && arg.text == "-?")) {
            std::fputs(wording.usage, stdout);
            code = kExitHelp;
        } else if (arg.kind == ArgKind::Unknown) {
            code = unknownArg(arg, wording);
        } else if (arg.kind == ArgKind::MissingValue) {
            code = needsValue(arg, wording);
        } else {
            code = onArg(arg);
        }
        if (code != kGoOn) return code;
    }
    return kGoOn;
}

}  // namespace kolvtool
