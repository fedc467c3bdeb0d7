// Files stubmedia ships beside itself: setup.exe and any helper. An installed
// <prefix>/bin/stubmedia reads <prefix>/share/setupstub/, so the tree works
// wherever it is moved; the build tree has the same layout
// (build/<preset>/tools/stubmedia and build/<preset>/share/setupstub/).
#pragma once

#include <string>

namespace stubmedia {

// <folder of the program>/../share/setupstub, from the program's real path.
std::string SharedDirOf(const std::string& program);
// The same for the running program (/proc/self/exe).
std::string SharedDir();
// Where the running tool's shipped file `name` is, whether it exists or not:
// the caller says what is missing.
std::string SharedFile(const std::string& name);

}  // namespace stubmedia
