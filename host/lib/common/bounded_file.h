// Reading a file that a person names, with a bound that fits its kind: a
// file named by mistake (/dev/zero, a FIFO, a log of gigabytes) is refused
// at once, with the reason, instead of being read for ever or waited on.
// Only a regular file, or a symlink to one, is read; it is opened without
// blocking, so a FIFO or a device never holds the program.
#pragma once

#include <cstddef>
#include <string>

namespace qel::common {

// The bound of a kind of file: its size in bytes, its lines, the bytes of
// one line (0: no bound of that sort), and its name in the messages.
struct FileBound {
    std::size_t maxBytes = 0;
    std::size_t maxLines = 0;
    std::size_t maxLineBytes = 0;
    const char* kind = "file";
};

// A secret (a bearer token, a password): one line, of a few hundred bytes.
inline constexpr FileBound kSecretFile{4096, 0, 0, "secret file"};
// A TLS certificate, chain or key in PEM: a CA bundle is a few hundred kB.
inline constexpr FileBound kCertificateFile{4u << 20, 0, 0, "certificate file"};
// A hand-written list of gates, stations or models: lines, not megabytes.
inline constexpr FileBound kListFile{4u << 20, 100000, 4096, "list"};
// A station model file: a line per station, and comments.
inline constexpr FileBound kModelFile{1u << 20, 10000, 4096, "station model file"};
// A configuration file (TOML, or the simulator's): a few MB.
inline constexpr FileBound kConfigFile{4u << 20, 100000, 65536, "configuration file"};
// The simulator's memory file: a line per value, so many more of them.
inline constexpr FileBound kMemoryFile{64u << 20, 2000000, 4096, "memory file"};

// Empty when `path` names a regular file (or a symlink to one), else why
// not: "a FIFO, not a regular file". A path that does not exist, or cannot be
// looked at, gives the system's reason.
std::string NotRegularFile(const std::string& path);

// The whole file, when it is a regular file of at most bound.maxBytes
// bytes; false with "PATH: the reason" otherwise (the line bounds are the
// caller's to check, see CheckLineBounds).
bool ReadBoundedFile(const std::string& path, const FileBound& bound, std::string& bytes, std::string& error);

// Whether text keeps within the line bounds; false with "PATH:LINE: the
// reason" for the first line that does not.
bool CheckLineBounds(const std::string& path, const std::string& text, const FileBound& bound, std::string& error);

}  // namespace qel::common
