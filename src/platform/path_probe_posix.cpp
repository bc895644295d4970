#include "platform/path_probe.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace kolv {
namespace {

PathFacts unreachable(int error) { return {PathKind::Unreachable, std::strerror(error)}; }

PathFacts kindOf(const struct stat& entry) {
    if (S_ISDIR(entry.st_mode)) return {PathKind::Folder, {}};
    return {S_ISREG(entry.st_mode) ? PathKind::File : PathKind::OtherKind, {}};
}

}  // namespace

PathFacts probePath(const char* path) {
    struct stat entry {};
    if (::lstat(path, &entry) != 0) return errno == ENOENT ? PathFacts{} : unreachable(errno);
    if (!S_ISLNK(entry.st_mode)) return kindOf(entry);
    if (::stat(path, &entry) == 0) return kindOf(entry);
    if (errno == ENOENT) return {PathKind::LinkToNothing, {}};
    return errno == ELOOP ? PathFacts{PathKind::LinkLoop, {}} : unreachable(errno);
}

}  // namespace kolv
