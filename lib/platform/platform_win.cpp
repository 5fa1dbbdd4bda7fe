#include "lib/platform/platform.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstring>

#include "lib/platform/platform_win.h"

// RtlNtStatusToDosError lives in ntdll; declared here rather than pulling in
// the kernel headers.
extern "C" __declspec(dllimport) ULONG WINAPI RtlNtStatusToDosError(LONG status);

namespace dravik {

namespace win {

bool utf8_to_wide(const char* text, std::wstring* out) {
    out->clear();
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    while (*s) {
        std::uint32_t c = *s;
        int more = 0;
        std::uint32_t min = 0;
        if (c < 0x80) {
            more = 0;
        } else if (c >= 0xC2 && c <= 0xDF) {
            more = 1, c &= 0x1F, min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2, c &= 0x0F, min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3, c &= 0x07, min = 0x10000;
        } else {
            return false;
        }
        ++s;
        for (int k = 0; k < more; ++k, ++s) {
            if ((*s & 0xC0) != 0x80) return false;  // also stops at the NUL
            c = (c << 6) | (*s & 0x3F);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        if (c >= 0x10000) {
            c -= 0x10000;
            out->push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
            out->push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out->push_back(static_cast<wchar_t>(c));
        }
    }
    return true;
}

std::string wide_to_utf8(const wchar_t* text, std::size_t length) {
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        std::uint32_t c = static_cast<std::uint16_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint16_t>(text[++i]) - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

int errno_from_win32(DWORD error) {
    switch (error) {
        case ERROR_SUCCESS: return 0;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_PATHNAME: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
        case ERROR_NETWORK_ACCESS_DENIED:
        case ERROR_PRIVILEGE_NOT_HELD: return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
        case ERROR_NO_SYSTEM_RESOURCES:
        case ERROR_COMMITMENT_LIMIT: return ENOMEM;
        case ERROR_DIRECTORY: return ENOTDIR;
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_PARAMETER:
        case ERROR_NOT_SUPPORTED: return EINVAL;
        case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
        case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
        case ERROR_CANT_RESOLVE_FILENAME: return ELOOP;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA: return EPIPE;
        case ERROR_FILE_TOO_LARGE: return EFBIG;
        default: return EIO;
    }
}

int errno_from_status(long status) {
    if (static_cast<unsigned long>(status) == 0xC00000BAul) return EISDIR;  // STATUS_FILE_IS_A_DIRECTORY
    return errno_from_win32(RtlNtStatusToDosError(status));
}

int descriptor_from_handle(HANDLE handle) {
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(handle);
        errno = EMFILE;
    }
    return fd;
}

HANDLE handle_of(int descriptor) {
    return reinterpret_cast<HANDLE>(::_get_osfhandle(descriptor));
}

}  // namespace win

namespace {

// A path Windows opens whatever its length: short ones as given, long ones
// made full and given the \\?\ prefix, which lifts the MAX_PATH limit.
bool wide_path(const char* path, std::wstring* out) {
    if (!win::utf8_to_wide(path, out)) return false;
    if (out->size() < MAX_PATH - 12 || out->rfind(L"\\\\?\\", 0) == 0) return true;
    const DWORD need = ::GetFullPathNameW(out->c_str(), 0, nullptr, nullptr);
    if (need == 0) return true;
    std::wstring full(need, L'\0');
    const DWORD got = ::GetFullPathNameW(out->c_str(), need, full.data(), nullptr);
    if (got == 0 || got >= need) return true;
    full.resize(got);
    if (full.rfind(L"\\\\", 0) == 0)
        *out = L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share
    else
        *out = L"\\\\?\\" + full;
    return true;
}

}  // namespace

namespace detail {

bool close_descriptor(int fd) { return ::_close(fd) == 0; }
void release_memory(void* data, std::size_t) { ::VirtualFree(data, 0, MEM_RELEASE); }
void unmap_file(void* base, std::size_t) { ::UnmapViewOfFile(base); }

}  // namespace detail

FileDescriptor file_open_read(const char* path) {
    std::wstring wide;
    if (!wide_path(path, &wide)) {
        errno = EILSEQ;
        return FileDescriptor();
    }
    // Backup semantics let a directory be opened, so that it is told as
    // one; the sharing lets other programs go on using the file.
    HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = win::errno_from_win32(::GetLastError());
        return FileDescriptor();
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = ::GetFileInformationByHandle(h, &info) != 0;
    if (::GetFileType(h) != FILE_TYPE_DISK || !known ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EISDIR : EINVAL;
        ::CloseHandle(h);
        return FileDescriptor();
    }
    return FileDescriptor(win::descriptor_from_handle(h));
}

FileDescriptor file_duplicate(int fd) { return FileDescriptor(::_dup(fd)); }

bool file_stat(int fd, std::uint64_t* size, FileIdentity* identity) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(win::handle_of(fd), &info)) {
        errno = win::errno_from_win32(::GetLastError());
        return false;
    }
    if (size) *size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    if (identity) {
        identity->device = info.dwVolumeSerialNumber;
        identity->inode = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
        identity->known = true;
    }
    return true;
}

bool file_read_at(int fd, std::uint64_t offset, void* out, std::size_t length) {
    HANDLE h = win::handle_of(fd);
    auto* dest = static_cast<unsigned char*>(out);
    while (length > 0) {
        const DWORD chunk = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!::ReadFile(h, dest, chunk, &got, &at)) {
            const DWORD error = ::GetLastError();
            errno = error == ERROR_HANDLE_EOF ? 0 : win::errno_from_win32(error);
            return false;
        }
        if (got == 0) return false;
        dest += got;
        offset += got;
        length -= got;
    }
    return true;
}

bool memory_allocate(MemoryBlock& block, std::size_t size) {
    if (size == 0) size = 1;
    // Committed memory is charged at once but given pages only as they are
    // first written, so the cost follows the bytes the decoder produces.
    void* p = ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!p) return false;
    block = MemoryBlock();
    block.data = static_cast<std::uint8_t*>(p);
    block.size = size;
    return true;
}

bool file_map_read(int fd, std::uint64_t offset, std::size_t length, FileMapping& mapping) {
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    // Views start on the allocation granularity (64 KiB), not on a page.
    const std::uint64_t start = offset - offset % system.dwAllocationGranularity;
    const std::uint64_t span = offset - start + length;
    if (length == 0 || span > SIZE_MAX) {
        errno = EINVAL;
        return false;
    }
    HANDLE section = ::CreateFileMappingW(win::handle_of(fd), nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!section) {
        errno = win::errno_from_win32(::GetLastError());
        return false;
    }
    void* view = ::MapViewOfFile(section, FILE_MAP_READ, static_cast<DWORD>(start >> 32),
                                 static_cast<DWORD>(start), static_cast<SIZE_T>(span));
    const DWORD error = ::GetLastError();
    ::CloseHandle(section);  // the view keeps the mapping alive
    if (!view) {
        errno = win::errno_from_win32(error);
        return false;
    }
    mapping = FileMapping();
    mapping.base = view;
    mapping.length = static_cast<std::size_t>(span);
    mapping.data = static_cast<const std::uint8_t*>(view) + (offset - start);
    return true;
}

std::uint64_t memory_physical_size() {
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (!::GlobalMemoryStatusEx(&status)) return 0;
    return status.ullTotalPhys;
}

}  // namespace dravik
