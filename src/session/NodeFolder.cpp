#include "session/NodeFolder.h"

#include "platform/FindFile.h"
#include "platform/Ini.h"

namespace quarvel {

std::string NodeDataLogFolder(const std::string& nodeFolder) {
    const std::string node = platform::WithSeparator(nodeFolder);
    const std::string configured =
        platform::GetPrivateProfileString("NODE_INFO", "DATA_LOG_FOLDER", "", node + "sysinfo.ini");
    if (!configured.empty()) return platform::WithSeparator(configured);
    return node + "Log/";
}

std::string NodeName(const std::string& nodeFolder) {
    std::string folder = nodeFolder;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const size_t slash = folder.rfind('/');
    return slash == std::string::npos ? folder : folder.substr(slash + 1);
}

}  // namespace quarvel
