#include "raw.h"

#include "image.h"

#include <sys/stat.h>

ImageLength imageLength(std::FILE* image, std::uint64_t& bytes) {
#if defined(_WIN32)
    // The 32-bit runtime's plain fstat has a 32-bit length.
    struct _stati64 status;
    if (_fstati64(_fileno(image), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) return ImageLength::unknown;
#else
    struct stat status;
    if (fstat(fileno(image), &status) != 0 || !S_ISREG(status.st_mode)) return ImageLength::unknown;
#endif
    bytes = static_cast<std::uint64_t>(status.st_size);
    return pastLongestImage(0, bytes) ? ImageLength::tooLong : ImageLength::fits;
}
