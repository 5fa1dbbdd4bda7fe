// The failures the module's C++ reports, turned into Python exceptions at
// the boundary (module.cpp): bad bytes become dravik.ArchiveError (a
// ValueError), the file system dravik.DiskError (an OSError), an edit that
// cannot be done as asked dravik.EditError (a ValueError); all are a
// dravik.Error. Thrown only where no Python object is touched, so they may
// cross code that runs without the GIL.
#pragma once

#include <string>
#include <vector>

namespace dravik::py {

struct ArchiveFailure {
    std::string message;
};

struct DiskFailure {
    std::string message;
    int error_number = 0;
    std::string filename;
    std::vector<std::string> problems;  // one line each, when there were several
};

// An edit refused before anything was written: one line per problem.
struct EditRefusal {
    std::vector<std::string> lines;
};

}  // namespace dravik::py
