#pragma once

#include <string>

namespace quarvel {

// The data-log folder of a node folder: the DATA_LOG_FOLDER value of section NODE_INFO
// of its sysinfo.ini, or else its Log sub-folder, both found without regard to case.
// Ends with '/'.
std::string NodeDataLogFolder(const std::string& nodeFolder);

// The node's name: the last component of its folder.
std::string NodeName(const std::string& nodeFolder);

}  // namespace quarvel
