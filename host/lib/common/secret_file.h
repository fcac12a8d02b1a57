// Reading a secret from a file (the HTTP bearer token, the broker's
// password): a regular file of at most a few kB (common/bounded_file.h),
// whose first line, without a UTF-8 byte-order mark and the blanks around
// it, is the secret. A file that others than its owner's group can write is
// refused: whoever writes it chooses the secret. One that every user can
// read is taken with a warning that says the mode it should have.
#pragma once

#include <string>

namespace qel::common {

struct Secret {
    std::string text;     // the first line, trimmed
    std::string warning;  // empty, or why the file's mode is unwise and what it should be
};

// False with "PATH: reason" when the file cannot be read, is not a regular
// file, is too large, or can be written by its group or by others.
bool ReadSecretFile(const std::string& path, Secret& secret, std::string& error);

// The secret of text already read: the first line, without a byte-order
// mark, CR and the blanks around it.
std::string FirstLineSecret(const std::string& bytes);

}  // namespace qel::common
