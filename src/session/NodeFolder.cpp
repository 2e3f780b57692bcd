#include "session/NodeFolder.h"

#include "platform/FindFile.h"
#include "platform/Ini.h"

namespace quarvel {

namespace {

// The entry of `folder` called `name` without regard to case, as a node's own platform
// may have written it ("SYSINFO.INI", "LOG"); `name` itself when there is none.
std::string EntryOf(const std::string& folder, const std::string& name) {
    platform::FindFile listing;
    platform::FindData entry;
    return folder + (listing.First(folder + name, entry) ? entry.name : name);
}

}  // namespace

std::string NodeDataLogFolder(const std::string& nodeFolder) {
    const std::string node = platform::WithSeparator(nodeFolder);
    const std::string configured =
        platform::GetPrivateProfileString("NODE_INFO", "DATA_LOG_FOLDER", "", EntryOf(node, "sysinfo.ini"));
    if (!configured.empty()) return platform::WithSeparator(configured);
    return EntryOf(node, "Log") + "/";
}

std::string NodeName(const std::string& nodeFolder) {
    std::string folder = nodeFolder;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const size_t slash = folder.rfind('/');
    return slash == std::string::npos ? folder : folder.substr(slash + 1);
}

}  // namespace quarvel
