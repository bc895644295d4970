#pragma once
// What a path names, looked at before it is opened, so that a file which
// must be either absent or read is never skipped because of a fault.
#include <string>

namespace kolv {

enum class PathKind {
    Absent,         // nothing of that name: the only outcome that means "no file"
    File,           // a plain file, itself or at the end of its links
    Folder,         // a folder, itself or at the end of its links
    OtherKind,      // a device, pipe or socket
    LinkToNothing,  // a link whose target does not exist
    LinkLoop,       // links that lead back to themselves
    Unreachable,    // could not be looked at; failure says why
};

struct PathFacts {
    PathKind kind = PathKind::Absent;
    std::string failure;  // the system's text for the error, with Unreachable
};

PathFacts probePath(const char* path);

}  // namespace kolv
