#include "platform/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

FileKind KindOfMode(mode_t mode)
{
    if (S_ISREG(mode))
        return FileKind::Regular;
    if (S_ISDIR(mode))
        return FileKind::Folder;
    if (S_ISFIFO(mode))
        return FileKind::Fifo;
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return FileKind::Device;
    if (S_ISSOCK(mode))
        return FileKind::Socket;
    return FileKind::Other;
}

} // namespace

FileKind KindOfFile(const std::string& path)
{
    struct stat info{};
    if (::stat(path.c_str(), &info) != 0)
        return FileKind::Missing;
    return KindOfMode(info.st_mode);
}

const char* FileKindText(FileKind kind)
{
    switch (kind) {
    case FileKind::Folder:
        return "a folder";
    case FileKind::Fifo:
        return "a FIFO";
    case FileKind::Device:
        return "a device";
    case FileKind::Socket:
        return "a socket";
    default:
        return "not a regular file";
    }
}

std::FILE* OpenRegularFileForReading(const std::string& path, FileKind& kind)
{
    // Looked at before the open, because opening a device can itself act (a
    // serial line raises its modem lines, a tape rewinds).
    kind = KindOfFile(path);
    if (kind != FileKind::Regular)
        return nullptr;
    // Non-blocking, and checked again on the descriptor, in case the name was
    // replaced by a FIFO between the look and the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    struct stat info{};
    const bool known = ::fstat(fd, &info) == 0;
    if (!known || !S_ISREG(info.st_mode)) {
        kind = known ? KindOfMode(info.st_mode) : FileKind::Other;
        ::close(fd);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = ::fdopen(fd, "r");
    if (file == nullptr)
        ::close(fd);
    return file;
}

std::string EscapeControlBytes(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        if (c < 0x20 || c == 0x7F)
            length = 1;
        // U+0080 to U+009F (CSI is U+009B): terminals that decode UTF-8 may act on them.
        else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F &&
                 static_cast<unsigned char>(text[i + 1]) >= 0x80)
            length = 2;
        if (length == 0) {
            out += static_cast<char>(c);
            continue;
        }
        for (size_t k = 0; k < length; ++k) {
            static const char kHex[] = "0123456789abcdef";
            const auto b = static_cast<unsigned char>(text[i + k]);
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0x0F];
        }
        i += length - 1;
    }
    return out;
}
