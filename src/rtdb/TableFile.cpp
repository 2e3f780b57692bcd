#include "rtdb/TableFile.h"

#include "rtdb/TableLibrary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quarvel {

namespace rtdb {

namespace {

// Rows are read in blocks of about this many bytes.
constexpr uint64_t kReadBlock = uint64_t{64} * 1024;

template <typename T>
T ReadLittle(const unsigned char* bytes) {
    T value{};
    std::memcpy(&value, bytes, sizeof value);  // the host is little-endian (TableLibrary.h)
    return value;
}

template <typename T>
void PutLittle(std::string& out, T value) {
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    out.append(bytes, sizeof value);
}

// pread until `size` bytes are in, the file ends, or an error.
uint64_t ReadAt(int fd, void* into, uint64_t size, uint64_t offset) {
    uint64_t done = 0;
    while (done < size) {
        const ssize_t got = pread(fd, static_cast<char*>(into) + done, size - done, static_cast<off_t>(offset + done));
        if (got > 0) {
            done += static_cast<uint64_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return done;
}

}  // namespace

uint32_t RowSizeOf(char kind) {
    switch (kind) {
        case 'T':
            return sizeof(TagRow);
        case 'X':
            return sizeof(RawRow);
        case 'M':
        case 'H':
        case 'D':
            return sizeof(SummaryRow);
        default:
            return 0;
    }
}

const char* Describe(TableStatus status) {
    switch (status) {
        case TableStatus::kOk:
            return "a table file";
        case TableStatus::kCannotOpen:
            return "cannot be opened";
        case TableStatus::kNotAFile:
            return "not a plain file";
        case TableStatus::kTooShort:
            return "shorter than a table file header";
        case TableStatus::kBadMagic:
            return "not a table file (wrong magic)";
        case TableStatus::kBadVersion:
            return "a table file of an unknown version";
        case TableStatus::kUnknownKind:
            return "a table file of an unknown kind";
        case TableStatus::kBadRowSize:
            return "a table file whose row size does not fit its kind";
        case TableStatus::kSizeMismatch:
            return "a table file whose length does not match its row count";
    }
    return "a table file";
}

TableReader::~TableReader() {
    if (m_fd >= 0) close(m_fd);
}

TableStatus TableReader::Open(const std::string& path) {
    if (m_fd >= 0) close(m_fd);
    m_kind = 0;
    m_rowSize = 0;
    m_rowCount = m_next = m_bufferFirst = m_bufferRows = 0;
    // Not blocking: a pipe named as a table would otherwise wait for a writer.
    m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (m_fd < 0) return TableStatus::kCannotOpen;
    const auto fail = [this](TableStatus status) {
        close(m_fd);
        m_fd = -1;
        return status;
    };
    struct stat info {};
    if (fstat(m_fd, &info) != 0 || !S_ISREG(info.st_mode)) return fail(TableStatus::kNotAFile);
    const auto fileSize = static_cast<uint64_t>(info.st_size);

    unsigned char header[kHeaderSize];
    if (fileSize < kHeaderSize) return fail(TableStatus::kTooShort);
    if (ReadAt(m_fd, header, kHeaderSize, 0) != kHeaderSize) return fail(TableStatus::kCannotOpen);
    if (std::memcmp(header, kMagic, sizeof kMagic) != 0) return fail(TableStatus::kBadMagic);
    if (ReadLittle<uint16_t>(header + 8) != kVersion) return fail(TableStatus::kBadVersion);
    const char kind = static_cast<char>(header[10]);
    const uint32_t rowSize = RowSizeOf(kind);
    if (rowSize == 0) return fail(TableStatus::kUnknownKind);
    if (ReadLittle<uint32_t>(header + 12) != rowSize) return fail(TableStatus::kBadRowSize);
    const auto rowCount = ReadLittle<uint64_t>(header + 16);
    // Divided, not multiplied, so that a huge count cannot wrap around.
    const uint64_t body = fileSize - kHeaderSize;
    if (body % rowSize != 0 || rowCount != body / rowSize) return fail(TableStatus::kSizeMismatch);

    m_kind = kind;
    m_rowSize = rowSize;
    m_rowCount = rowCount;
    return TableStatus::kOk;
}

bool TableReader::Fill() {
    const uint64_t rowsPerBlock = kReadBlock / m_rowSize;
    const uint64_t rows = std::min(rowsPerBlock, m_rowCount - m_next);
    m_buffer.resize(rows * m_rowSize);
    const uint64_t got = ReadAt(m_fd, m_buffer.data(), m_buffer.size(), kHeaderSize + m_next * m_rowSize);
    m_bufferFirst = m_next;
    m_bufferRows = got / m_rowSize;  // a row cut short by a shrinking file is not handed out
    return m_bufferRows > 0;
}

bool TableReader::Next(void* row) {
    if (m_fd < 0 || m_next >= m_rowCount) return false;
    if (m_next < m_bufferFirst || m_next >= m_bufferFirst + m_bufferRows) {
        if (!Fill()) return false;
    }
    std::memcpy(row, m_buffer.data() + (m_next - m_bufferFirst) * m_rowSize, m_rowSize);
    ++m_next;
    return true;
}

std::string TableImage(char kind, const void* rows, uint64_t rowCount) {
    const uint32_t rowSize = RowSizeOf(kind);
    std::string image(kMagic, sizeof kMagic);
    PutLittle(image, kVersion);
    image.push_back(kind);
    image.push_back('\0');  // reserved
    PutLittle(image, rowSize);
    PutLittle(image, rowCount);
    image.append(static_cast<const char*>(rows), rowCount * rowSize);
    return image;
}

}  // namespace rtdb

}  // namespace quarvel
