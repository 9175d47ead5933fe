#include "platform/HomeFolder.h"

#include <cerrno>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::string HomeFolder(const std::optional<std::string>& homeVariable)
{
    if (homeVariable && !homeVariable->empty())
        return *homeVariable;
    struct passwd* pw = getpwuid(getuid());
    return (pw && pw->pw_dir) ? pw->pw_dir : "/";
}

std::string ExpandTilde(const std::string& path, std::string home)
{
    if (path == "~")
        return home;
    if (path.rfind("~/", 0) == 0) {
        if (!home.empty() && home.back() == '/')
            home.pop_back();
        return home + path.substr(1);
    }
    return path;
}

bool CreateFolderWithParents(const std::string& path)
{
    if (path.empty())
        return false;
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        std::string prefix = path.substr(0, pos);
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace platform
