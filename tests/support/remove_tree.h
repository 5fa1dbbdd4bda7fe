// Removing a directory tree however deep it is. std::filesystem::remove_all
// works through whole paths, which stop at PATH_MAX a few thousand levels
// down; an archive can nest far deeper than that.
#pragma once

#include <string>

namespace fixture {

// Removes `path` and everything below it, never following a symbolic link.
// Walks by changing the working directory one level at a time, so no path
// grows long and no descriptor is held per level; the working directory is
// restored before it returns. False when something could not be removed.
bool remove_tree(const std::string& path);

}  // namespace fixture
