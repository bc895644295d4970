// Command-line reading shared by the stand-in tools: getopt_long underneath,
// but only whole option names count, and arguments come back in the order given
// so each tool keeps its own wording.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>

namespace kolvtool {

constexpr int kGoOn = -1;  // from a handler: no exit code yet, read on
constexpr int kExitHelp = 0;
constexpr int kExitUsage = 2;

struct OptionName {
    const char* name;  // without the leading "--"
    bool takesValue;
};

enum class ArgKind {
    End,           // nothing left
    Option,        // one of the table's options; id is its index there
    Positional,    // an argument that is not an option; value holds it
    Help,          // --help or -h
    Unknown,       // not an option of the table, or a value given to one that takes none
    MissingValue,  // the last argument, and its option wants a value
};

struct Arg {
    ArgKind kind = ArgKind::End;
    std::size_t id = 0;
    std::string value;
    std::string text;  // the argument as typed, "--name=value" included

    // The text up to any "=": the option as named.
    std::string flag() const { return text.substr(0, text.find('=')); }
};

// How a tool words its answers to arguments it cannot use.
struct ArgWording {
    const char* tool;        // starts every message
    const char* usage;       // the --help text
    const char* unknown;     // "unknown option" or the like
    const char* tail;        // ends both messages, after the argument
    bool usageAfterUnknown;  // repeat the usage on stderr after an unknown argument
    bool unknownByFlag;      // name an unknown "--x=1" as "--x"
    bool questionMarkHelps;  // "-?" asks for help too
};

// Each prints its message and returns kExitUsage.
int unknownArg(const Arg& arg, const ArgWording& wording);
int needsValue(const Arg& arg, const ArgWording& wording);

// Reads every argument in order. Help, unknown options and missing values are
// answered here; options and positionals go to onArg, which returns kGoOn or
// an exit code. Returns kGoOn once all are read, else the exit code.
int readArgs(int argc, char** argv, std::span<const OptionName> names, const ArgWording& wording,
             const std::function<int(const Arg&)>& onArg);

}  // namespace kolvtool
