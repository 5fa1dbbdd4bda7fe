// Unpacking an archive into a folder, with every rule the program keeps:
// each entry goes only where the library's Placement puts it, every name
// is resolved relative to an open folder without following symbolic links
// (so nothing lands outside the destination), the archive being read is
// never overwritten, a second entry landing on a file written earlier in
// the same call is refused, an existing file is replaced only by a complete
// temporary file renamed over it, and a failure or an interruption leaves
// nothing partial behind.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "disk.h"
#include "dravik/archive.h"

namespace dravik::py {

// Folders by parent and name, so that the paths of many entries cost one
// node each rather than a copy of every enclosing name each (a hostile
// archive nests thousands deep). Names are borrowed from the archive, or
// static ("arc").
struct PathTree {
    struct Node {
        std::int32_t parent = -1;  // -1: the destination itself
        const char* name = nullptr;
    };
    std::vector<Node> nodes;

    std::int32_t add(std::int32_t parent, const char* name) {
        nodes.push_back(Node{parent, name});
        return static_cast<std::int32_t>(nodes.size() - 1);
    }
    // The '/'-separated path of `leaf` inside folder `folder`, into `out`
    // (`scratch` holds the names on the way up; both are reused).
    void path_into(std::int32_t folder, const char* leaf, std::string& out, std::vector<const char*>& scratch) const;
    std::string path(std::int32_t folder, const char* leaf) const {
        std::string out;
        std::vector<const char*> scratch;
        path_into(folder, leaf, out, scratch);
        return out;
    }
};

struct ExtractFailure {
    std::uint32_t index = 0;     // the entry's node index
    bool is_directory = false;
    std::int32_t folder = -1;    // in the outcome's folders: where it would have landed
    const char* name = nullptr;  // its name there
    std::string reason;          // the program's words
    int error_number = 0;        // errno, when the system said why
};

struct ExtractOutcome {
    std::uint32_t acted = 0;     // entries the selection let through
    std::uint32_t unpacked = 0;  // of those, written or entered
    std::vector<ExtractFailure> failed;
    PathTree folders;
};

// Thrown when `interrupted` said so (a signal is pending in Python); what
// was being written is removed first.
struct Interrupted {};

// Unpacks the entries `selection` lets through into `destination`, which it
// takes over. `archive_file` is the archive's own file, never replaced.
// `interrupted` is asked between entries and between chunks of a file.
ExtractOutcome extract_archive(const Archive& archive, const Identity& archive_file, Fd destination,
                               Selection& selection, const std::function<bool()>& interrupted);

}  // namespace dravik::py
