// The Windows body of the tree seam. Every name is opened relative to a held
// directory handle through NtCreateFile, the equivalent of openat, so paths
// never grow and MAX_PATH never applies; FILE_OPEN_REPARSE_POINT keeps
// symbolic links and junctions from being followed, and what was opened is
// checked. Names arrive as UTF-8 and go to the system as UTF-16.
#include "program/disk/tree.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "lib/platform/platform_win.h"

#include <winternl.h>

namespace dravik::disk {

namespace {

using win::handle_of;

// Not every mingw header names these; the values are the system's.
constexpr ULONG kFileNonDirectoryFile = 0x00000040;
constexpr ULONG kFileOpenReparsePoint = 0x00200000;
constexpr int kFileIdBothDirectoryInformation = 37;
constexpr int kFileRenameInformation = 10;
constexpr int kFileDispositionInformation = 13;
constexpr int kFileAttributeTagInformation = 35;
constexpr int kFileDispositionInformationEx = 64;
constexpr int kFileRenameInformationEx = 65;
constexpr LONG kStatusObjectNameCollision = static_cast<LONG>(0xC0000035);
constexpr LONG kStatusObjectNameNotFound = static_cast<LONG>(0xC0000034);
constexpr LONG kStatusNotADirectory = static_cast<LONG>(0xC0000103);
constexpr LONG kStatusNoSuchFile = static_cast<LONG>(0xC000000F);

struct AttributeTag {
    ULONG attributes;
    ULONG reparse_tag;
};

// One entry of a folder listing: its names, attributes, size and file id.
struct IdBothDirectoryInformation {
    ULONG next_entry_offset;
    ULONG file_index;
    LARGE_INTEGER times[4];
    LARGE_INTEGER end_of_file;
    LARGE_INTEGER allocation_size;
    ULONG attributes;
    ULONG name_length;
    ULONG ea_size;
    CCHAR short_name_length;
    WCHAR short_name[12];
    LARGE_INTEGER file_id;
    WCHAR name[1];
};

}  // namespace

}  // namespace dravik::disk

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK,
                                               PVOID, ULONG, int, BOOLEAN, PUNICODE_STRING,
                                               BOOLEAN);

namespace dravik::disk {

namespace {

bool fail_status(NTSTATUS status) {
    errno = win::errno_from_status(status);
    return false;
}

// Opens `name` relative to directory handle `root` (the directory itself
// when `name` is empty), never following a reparse point.
NTSTATUS open_relative(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share,
                       ULONG disposition, ULONG options, HANDLE* out) {
    *out = nullptr;
    if (name.size() > 32767) return static_cast<NTSTATUS>(0xC0000106);  // STATUS_NAME_TOO_LONG
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name.c_str());
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
    IO_STATUS_BLOCK io;
    return ::NtCreateFile(out, access | SYNCHRONIZE, &attributes, &io, nullptr,
                          FILE_ATTRIBUTE_NORMAL, share, disposition,
                          options | FILE_SYNCHRONOUS_IO_NONALERT | kFileOpenReparsePoint, nullptr,
                          0);
}

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The name converts (invalid UTF-8 is refused before any call gets here,
// but the seam stays safe on its own).
bool wide_name(const char* name, std::wstring* out) {
    if (win::utf8_to_wide(name, out)) return true;
    errno = EILSEQ;
    return false;
}

bool is_reparse_point(HANDLE h) {
    AttributeTag tag{};
    IO_STATUS_BLOCK io;
    if (::NtQueryInformationFile(h, &io, &tag, sizeof tag,
                                 static_cast<FILE_INFORMATION_CLASS>(kFileAttributeTagInformation)) != 0)
        return false;
    return (tag.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The path of an open file from its volume's root, as the system names it.
bool path_of(HANDLE h, std::wstring* out) {
    std::vector<unsigned char> buffer(sizeof(ULONG) + 32768 * sizeof(wchar_t));
    IO_STATUS_BLOCK io;
    if (::NtQueryInformationFile(h, &io, buffer.data(), static_cast<ULONG>(buffer.size()),
                                 static_cast<FILE_INFORMATION_CLASS>(9)) != 0)  // FileNameInformation
        return false;
    const auto* info = reinterpret_cast<const FILE_NAME_INFORMATION*>(buffer.data());
    out->assign(info->FileName, info->FileNameLength / sizeof(wchar_t));
    return true;
}

// Whether `child`, opened as `name` in `parent`, is that name there. On
// Windows it always is (reparse points are opened as themselves), so only
// Wine is asked: it shows a Unix symbolic link as the directory or file it
// points to, and names that by where it really is.
bool reached_by_name(HANDLE parent, HANDLE child, const std::wstring& name) {
    static const bool under_wine =
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    if (!under_wine) return true;
    std::wstring above, path;
    if (!path_of(parent, &above) || !path_of(child, &path)) return true;  // nothing to compare
    if (above.empty() || above.back() != L'\\') above += L'\\';
    above += name;
    return ::CompareStringOrdinal(above.data(), static_cast<int>(above.size()), path.data(),
                                  static_cast<int>(path.size()), TRUE) == CSTR_EQUAL;
}

FileDescriptor own(HANDLE h) { return FileDescriptor(win::descriptor_from_handle(h)); }

// Takes `h`, opened by path, when it is a directory; otherwise closes it and
// fails with errno set (ENOTDIR for anything else that was there).
FileDescriptor own_directory(HANDLE h) {
    if (h == INVALID_HANDLE_VALUE) {
        errno = win::errno_from_win32(::GetLastError());
        return FileDescriptor();
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::CloseHandle(h);
        errno = ENOTDIR;
        return FileDescriptor();
    }
    return own(h);
}

// Marks the open file `h` (opened with DELETE access) for removal: at once
// where the file system offers POSIX semantics, else at its last close.
bool delete_by_handle(HANDLE h) {
    IO_STATUS_BLOCK io;
    ULONG flags = 0x1 | 0x2 | 0x10;  // delete, POSIX semantics, ignore read-only
    if (::NtSetInformationFile(h, &io, &flags, sizeof flags,
                               static_cast<FILE_INFORMATION_CLASS>(kFileDispositionInformationEx)) == 0)
        return true;
    BOOLEAN remove = TRUE;
    const NTSTATUS status = ::NtSetInformationFile(
        h, &io, &remove, sizeof remove, static_cast<FILE_INFORMATION_CLASS>(kFileDispositionInformation));
    return status == 0 || fail_status(status);
}

}  // namespace

FileDescriptor open_current_directory() {
    HANDLE h = ::CreateFileW(L".", FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES, kShareAll,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = win::errno_from_win32(::GetLastError());
        return FileDescriptor();
    }
    return own(h);
}

namespace {

HANDLE open_directory_by_path(const std::wstring& path) {
    return ::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                         kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

FileDescriptor open_destination(const char* path) {
    std::wstring w;
    if (!wide_name(path, &w)) return FileDescriptor();
    HANDLE h = open_directory_by_path(w);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            errno = win::errno_from_win32(error);
            return FileDescriptor();
        }
        // Create each missing component in turn, as mkdir -p does; one that
        // exists already is fine, and opening tells the rest.
        for (std::size_t i = 1; i <= w.size(); ++i) {
            if (i < w.size() && w[i] != L'/' && w[i] != L'\\') continue;
            if (w[i - 1] == L':' || w[i - 1] == L'/' || w[i - 1] == L'\\') continue;  // a drive or a root
            if (!::CreateDirectoryW(w.substr(0, i).c_str(), nullptr) &&
                ::GetLastError() != ERROR_ALREADY_EXISTS) {
                errno = win::errno_from_win32(::GetLastError());
                return FileDescriptor();
            }
        }
        h = open_directory_by_path(w);
    }
    return own_directory(h);
}

bool make_directory(int dir, const char* name) {
    std::wstring w;
    if (!wide_name(name, &w)) return false;
    HANDLE h;
    const NTSTATUS status = open_relative(handle_of(dir), w, FILE_LIST_DIRECTORY, kShareAll, FILE_CREATE,
                                          FILE_DIRECTORY_FILE, &h);
    if (status == kStatusObjectNameCollision) return true;
    if (status != 0) return fail_status(status);
    ::CloseHandle(h);
    return true;
}

FileDescriptor open_directory(int dir, const char* name) {
    std::wstring w;
    if (!wide_name(name, &w)) return FileDescriptor();
    HANDLE h;
    const NTSTATUS status =
        open_relative(handle_of(dir), w, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                      kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &h);
    if (status == kStatusNotADirectory) {
        errno = ENOTDIR;
        return FileDescriptor();
    }
    if (status != 0) return fail_status(status), FileDescriptor();
    // A junction or a directory symbolic link is opened as itself: refuse it.
    if (is_reparse_point(h) || !reached_by_name(handle_of(dir), h, w)) {
        ::CloseHandle(h);
        errno = ELOOP;
        return FileDescriptor();
    }
    return own(h);
}

FileDescriptor create_file(int dir, const char* name) {
    std::wstring w;
    if (!wide_name(name, &w)) return FileDescriptor();
    HANDLE h;
    // Shared for deletion, so that an interrupt can remove it while it is
    // being written.
    const NTSTATUS status =
        open_relative(handle_of(dir), w, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                      FILE_CREATE, kFileNonDirectoryFile, &h);
    if (status != 0) return fail_status(status), FileDescriptor();
    return own(h);
}

bool inspect(int dir, const char* name, EntryKind* kind, FileIdentity* identity) {
    std::wstring w;
    if (!wide_name(name, &w)) return false;
    HANDLE h;
    const NTSTATUS status = open_relative(handle_of(dir), w, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0, &h);
    if (status == kStatusObjectNameNotFound || status == kStatusNoSuchFile) {
        *kind = EntryKind::missing;
        *identity = FileIdentity();
        return true;
    }
    if (status != 0) return fail_status(status);
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = ::GetFileInformationByHandle(h, &info) != 0;
    const DWORD error = ::GetLastError();
    const bool linked = !reached_by_name(handle_of(dir), h, w);
    ::CloseHandle(h);
    if (!ok) {
        errno = win::errno_from_win32(error);
        return false;
    }
    *kind = (linked || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) ? EntryKind::symlink
            : (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)   ? EntryKind::directory
                                                                   : EntryKind::other;
    identity->device = info.dwVolumeSerialNumber;
    identity->inode = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    identity->known = true;
    return true;
}

namespace {

// Renames within `dir`, replacing what is at `to` in the same step when
// `replace` is set, else failing with EEXIST.
bool rename_in(int dir, const char* from, const char* to, bool replace) {
    std::wstring source, target;
    if (!wide_name(from, &source) || !wide_name(to, &target)) return false;
    HANDLE h;
    NTSTATUS status = open_relative(handle_of(dir), source, DELETE, kShareAll, FILE_OPEN, 0, &h);
    if (status != 0) return fail_status(status);
    // The rename record: flags (or the old "replace" byte, in the same
    // place), the directory the new name is relative to, the name (with a
    // NUL after it, which some systems want room for).
    constexpr std::size_t kNameAt = offsetof(FILE_RENAME_INFORMATION, FileName);
    const ULONG bytes = static_cast<ULONG>(target.size() * sizeof(wchar_t));
    std::vector<unsigned char> record(kNameAt + bytes + sizeof(wchar_t), 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(record.data());
    const ULONG flags = (replace ? 0x1 : 0x0) | 0x2 | 0x40;  // replace, POSIX semantics, ignore read-only
    std::memcpy(record.data(), &flags, sizeof flags);
    info->RootDirectory = handle_of(dir);
    info->FileNameLength = bytes;
    std::memcpy(record.data() + kNameAt, target.data(), bytes);
    IO_STATUS_BLOCK io;
    status = ::NtSetInformationFile(h, &io, record.data(), static_cast<ULONG>(record.size()),
                                    static_cast<FILE_INFORMATION_CLASS>(kFileRenameInformationEx));
    if (status != 0 && status != kStatusObjectNameCollision) {
        // Systems before Windows 10 1709: the classic rename, which also
        // replaces the target in one step.
        std::memset(record.data(), 0, sizeof flags);
        info->ReplaceIfExists = replace;
        status = ::NtSetInformationFile(h, &io, record.data(), static_cast<ULONG>(record.size()),
                                        static_cast<FILE_INFORMATION_CLASS>(kFileRenameInformation));
    }
    ::CloseHandle(h);
    return status == 0 || fail_status(status);
}

}  // namespace

bool rename_within(int dir, const char* from, const char* to) { return rename_in(dir, from, to, true); }

bool remove_file(int dir, const char* name) {
    std::wstring w;
    if (!wide_name(name, &w)) return false;
    HANDLE h;
    const NTSTATUS status =
        open_relative(handle_of(dir), w, DELETE, kShareAll, FILE_OPEN, kFileNonDirectoryFile, &h);
    if (status != 0) return fail_status(status);
    const bool ok = delete_by_handle(h);
    ::CloseHandle(h);
    return ok;
}

NameProblem name_problem(int dir, const char* name) {
    std::wstring w;
    if (!win::utf8_to_wide(name, &w)) return NameProblem::invalid_utf8;
    bool tilde = false;
    for (wchar_t c : w) {
        if (c < 0x20) return NameProblem::control_character;
        if (c == L':') return NameProblem::stream_separator;
        if (std::wcschr(L"<>\"/\\|?*", c)) return NameProblem::reserved_character;
        tilde = tilde || c == L'~';
    }
    if (!w.empty() && (w.back() == L'.' || w.back() == L' ')) return NameProblem::trailing_dot_or_space;

    // A device name stays one whatever its case, extension, or the spaces
    // before the extension: "con", "Nul.txt", "COM1 .log".
    std::wstring base = w.substr(0, w.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (wchar_t& c : base)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* device : kDevices)
        if (base == device) return NameProblem::device_name;
    if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
        ((base[3] >= L'1' && base[3] <= L'9') || base[3] == L'\u00B9' || base[3] == L'\u00B2' ||
         base[3] == L'\u00B3'))
        return NameProblem::device_name;

    // A short (8.3) name such as PROGRA~1 opens the long-named entry it
    // stands for. Only names of that shape need a look: is there an entry
    // whose short name this is and whose own name is something else?
    if (!tilde || w.size() > 12 || dir < 0) return NameProblem::none;
    HANDLE listing;
    // A fresh handle: the system keeps the first pattern a handle is asked
    // for.
    if (open_relative(handle_of(dir), L"", FILE_LIST_DIRECTORY, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE,
                      &listing) != 0)
        return NameProblem::none;  // the open that follows tells its own error
    alignas(8) unsigned char buffer[sizeof(IdBothDirectoryInformation) + 512 * sizeof(wchar_t)];
    UNICODE_STRING pattern;
    pattern.Buffer = w.data();
    pattern.Length = pattern.MaximumLength = static_cast<USHORT>(w.size() * sizeof(wchar_t));
    IO_STATUS_BLOCK io;
    const NTSTATUS status = NtQueryDirectoryFile(listing, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer,
                                                 kFileIdBothDirectoryInformation, TRUE, &pattern, TRUE);
    ::CloseHandle(listing);
    if (status != 0) return NameProblem::none;
    const auto* entry = reinterpret_cast<const IdBothDirectoryInformation*>(buffer);
    const int same = ::CompareStringOrdinal(entry->name, static_cast<int>(entry->name_length / sizeof(wchar_t)),
                                            w.data(), static_cast<int>(w.size()), TRUE);
    return same == CSTR_EQUAL ? NameProblem::none : NameProblem::short_name_alias;
}

namespace {

bool volume_serial(HANDLE h, std::uint64_t* serial) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h, &info)) {
        errno = win::errno_from_win32(::GetLastError());
        return false;
    }
    *serial = info.dwVolumeSerialNumber;
    return true;
}

}  // namespace

bool list_folder(int dir, std::vector<FolderEntry>& entries) {
    entries.clear();
    std::uint64_t serial = 0;
    if (!volume_serial(handle_of(dir), &serial)) return false;
    // A handle of its own: a listing handle keeps its place between calls.
    HANDLE listing;
    NTSTATUS status = open_relative(handle_of(dir), L"", FILE_LIST_DIRECTORY, kShareAll, FILE_OPEN,
                                    FILE_DIRECTORY_FILE, &listing);
    if (status != 0) return fail_status(status);
    std::vector<unsigned char> buffer(64 * 1024);
    bool ok = true;
    for (bool first = true;; first = false) {
        IO_STATUS_BLOCK io;
        status = NtQueryDirectoryFile(listing, nullptr, nullptr, nullptr, &io, buffer.data(),
                                      static_cast<ULONG>(buffer.size()), kFileIdBothDirectoryInformation,
                                      FALSE, nullptr, first ? TRUE : FALSE);
        if (status == static_cast<NTSTATUS>(0x80000006) || status == kStatusNoSuchFile) break;  // no more
        if (status != 0) {
            ok = fail_status(status);
            break;
        }
        for (std::size_t at = 0;;) {
            const auto* e = reinterpret_cast<const IdBothDirectoryInformation*>(buffer.data() + at);
            const std::size_t chars = e->name_length / sizeof(wchar_t);
            const bool dots = (chars == 1 && e->name[0] == L'.') ||
                              (chars == 2 && e->name[0] == L'.' && e->name[1] == L'.');
            if (!dots) {
                FolderEntry entry;
                entry.name = win::wide_to_utf8(e->name, chars);
                entry.kind = (e->attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? NodeKind::symlink
                             : (e->attributes & FILE_ATTRIBUTE_DIRECTORY)   ? NodeKind::directory
                                                                            : NodeKind::regular;
                entry.size = static_cast<std::uint64_t>(e->end_of_file.QuadPart);
                entry.identity.device = serial;
                entry.identity.inode = static_cast<std::uint64_t>(e->file_id.QuadPart);
                entry.identity.known = true;
                entry.readable = true;  // access control lists tell only when opened
                entries.push_back(std::move(entry));
            }
            if (e->next_entry_offset == 0) break;
            at += e->next_entry_offset;
        }
    }
    ::CloseHandle(listing);
    return ok;
}

bool names_can_be_refused() { return true; }

void split_path(const std::string& path, std::string* folder, std::string* name) {
    const std::size_t slash = path.find_last_of("/\\");
    const bool drive = path.size() >= 2 && path[1] == ':';
    if (slash == std::string::npos) {
        *folder = drive ? path.substr(0, 2) : ".";
        *name = drive ? path.substr(2) : path;
        return;
    }
    *name = path.substr(slash + 1);
    if (slash == 0) *folder = "/";
    else if (drive && slash == 2) *folder = path.substr(0, 2) + "/";
    else *folder = path.substr(0, slash);
}

std::string entry_path_argument(const std::string& typed) {
    std::string path = typed;
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}

FileDescriptor open_directory_path(const char* path) {
    std::wstring w;
    if (!wide_name(path, &w)) return FileDescriptor();
    return own_directory(open_directory_by_path(w));
}

FileDescriptor open_file_in(int dir, const char* name, std::uint64_t* size, FileIdentity* identity) {
    std::wstring w;
    if (!wide_name(name, &w)) return FileDescriptor();
    HANDLE h;
    const NTSTATUS status = open_relative(handle_of(dir), w, GENERIC_READ, kShareAll, FILE_OPEN,
                                          kFileNonDirectoryFile, &h);
    if (status != 0) return fail_status(status), FileDescriptor();
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        ::CloseHandle(h);
        errno = ELOOP;
        return FileDescriptor();
    }
    *size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    identity->device = info.dwVolumeSerialNumber;
    identity->inode = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    identity->known = true;
    return own(h);
}

bool sync_file(int fd) {
    if (::FlushFileBuffers(handle_of(fd))) return true;
    errno = win::errno_from_win32(::GetLastError());
    return false;
}

bool rename_no_replace(int dir, const char* from, const char* to) {
    return rename_in(dir, from, to, false);
}

}  // namespace dravik::disk
