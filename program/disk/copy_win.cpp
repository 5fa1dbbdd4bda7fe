#include "program/disk/copy.h"

#include <cerrno>

#include "lib/platform/platform_win.h"

namespace dravik::disk {

using win::handle_of;

bool write_all(int out, const std::uint8_t* data, std::uint64_t length) {
    HANDLE h = handle_of(out);
    while (length > 0) {
        const DWORD chunk = length > (1u << 26) ? (1u << 26) : static_cast<DWORD>(length);
        DWORD n = 0;
        if (!::WriteFile(h, data, chunk, &n, nullptr)) {
            errno = win::errno_from_win32(::GetLastError());
            return false;
        }
        if (n == 0) {  // no progress and no reason: give up rather than spin
            errno = EIO;
            return false;
        }
        data += n;
        length -= n;
    }
    return true;
}

namespace detail {
// Large reads and writes: few calls per file, and a bound on memory
// whatever the file's size.
const std::size_t copy_buffer_size = 1 << 20;
}  // namespace detail

bool copy_file_data(Copier& c, int in, std::uint64_t offset, int out, std::uint64_t length,
                    bool* ended) {
    *ended = false;
    if (!prepare_copier(c)) return false;
    HANDLE source = handle_of(in);
    while (length > 0) {
        // Small files usually lie one after another in the archive: one read
        // serves many of them.
        if (offset < c.window_start || offset >= c.window_start + c.window_size) {
            c.window_start = offset;
            c.window_size = 0;
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            DWORD got = 0;
            if (!::ReadFile(source, c.buffer.data(), static_cast<DWORD>(c.buffer.size()), &got, &at)) {
                const DWORD error = ::GetLastError();
                if (error != ERROR_HANDLE_EOF) {
                    errno = win::errno_from_win32(error);
                    return false;
                }
            }
            if (got == 0) {
                *ended = true;
                errno = 0;
                return false;
            }
            c.window_size = got;
        }
        const std::uint64_t available = c.window_start + c.window_size - offset;
        const std::uint64_t n = available < length ? available : length;
        if (!write_all(out, c.buffer.data() + (offset - c.window_start), n)) return false;
        offset += n;
        length -= n;
    }
    return true;
}

}  // namespace dravik::disk
