#include "platform/path_probe.h"

#include <windows.h>

namespace kolv {
namespace {

PathFacts unreachable(DWORD error) {
    char text[256] = "";
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                               sizeof text, nullptr);
    // The system's texts end in ".\r\n"; the caller ends the sentence.
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) --n;
    std::string failure = n > 0 ? std::string(text, n) : "error " + std::to_string(error);
    return {PathKind::Unreachable, failure};
}

// Whether the folder has no entry of that name either. A link to nothing
// can look like no file at all to the attribute query (Wine shows it so).
bool folderLacks(const char* path) {
    WIN32_FIND_DATAA entry;
    HANDLE found = ::FindFirstFileA(path, &entry);
    if (found == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    ::FindClose(found);
    return false;
}

PathFacts notReached(const char* path, DWORD error) {
    if (error == ERROR_FILE_NOT_FOUND) return folderLacks(path) ? PathFacts{} : PathFacts{PathKind::LinkToNothing, {}};
    return error == ERROR_CANT_RESOLVE_FILENAME ? PathFacts{PathKind::LinkLoop, {}} : unreachable(error);
}

PathFacts kindOf(DWORD attributes) {
    return {(attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Folder : PathKind::File, {}};
}

// Opening a link follows it to its end, which tells what it leads to.
PathFacts linkTarget(const char* path) {
    HANDLE target = ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (target == INVALID_HANDLE_VALUE) {
        DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {PathKind::LinkToNothing, {}};
        return notReached(path, error);
    }
    BY_HANDLE_FILE_INFORMATION facts{};
    const bool known = ::GetFileInformationByHandle(target, &facts) != 0;
    const DWORD error = ::GetLastError();
    ::CloseHandle(target);
    return known ? kindOf(facts.dwFileAttributes) : unreachable(error);
}

}  // namespace

PathFacts probePath(const char* path) {
    // Unlike stat, this reads a link itself rather than where it leads.
    DWORD attributes = ::GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return notReached(path, ::GetLastError());
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return linkTarget(path);
    return kindOf(attributes);
}

}  // namespace kolv
