#include "common/secret_file.h"

#include <cstdio>

#include "common/bounded_file.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace qel::common {

std::string FirstLineSecret(const std::string& bytes) {
    std::size_t begin = bytes.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
    std::size_t end = bytes.find('\n', begin);
    if (end == std::string::npos) end = bytes.size();
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (begin < end && blank(bytes[begin])) ++begin;
    while (end > begin && blank(bytes[end - 1])) --end;
    return bytes.substr(begin, end - begin);
}

bool ReadSecretFile(const std::string& path, Secret& secret, std::string& error) {
    std::string bytes;
    if (!ReadBoundedFile(path, kSecretFile, bytes, error)) return false;
    secret.warning.clear();
#ifndef _WIN32
    // The mode of what was read (a symlink's target); a change in between
    // would need the owner, who may write it anyway.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            error = path + ": mode " + mode + " lets " + ((st.st_mode & S_IWOTH) != 0 ? "every user" : "its group") +
                    " write the secret; make it 0600 (chmod 600 " + path + ")";
            return false;
        }
        if ((st.st_mode & S_IROTH) != 0)
            secret.warning = path + ": mode " + mode + " lets every user read the secret; it should be 0600 (chmod 600 " +
                             path + "), or 0640 for a group of its own";
    }
#endif
    secret.text = FirstLineSecret(bytes);
    return true;
}

}  // namespace qel::common
