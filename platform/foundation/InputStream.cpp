#include "platform/foundation/InputStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

NSErrorPtr posixError(int code, const std::string& what) {
    return NSError::create(NSPOSIXErrorDomain, code,
                           {{NSLocalizedDescriptionKey, Value(what + ": " + std::strerror(code))}});
}

NSErrorPtr notOpenError() {
    return NSError::withDescription(NSPOSIXErrorDomain, EBADF, "The stream is not open.");
}

class DataInputStream final : public NSInputStream {
  public:
    explicit DataInputStream(Data data) : data_(std::move(data)) {}

    void open() override {
        if (streamStatus() == NSStreamStatus::NotOpen) setStatus(NSStreamStatus::Open);
    }
    void close() override { setStatus(NSStreamStatus::Closed); }
    long read(uint8_t* buffer, size_t maxLength) override {
        NSStreamStatus status = streamStatus();
        if (status == NSStreamStatus::AtEnd) return 0;
        if (status != NSStreamStatus::Open) {
            if (status != NSStreamStatus::Error) fail(notOpenError());
            return -1;
        }
        size_t count = std::min(maxLength, data_.length() - offset_);
        if (count == 0) {
            setStatus(NSStreamStatus::AtEnd);
            return 0;
        }
        std::memcpy(buffer, data_.bytes() + offset_, count);
        offset_ += count;
        if (offset_ == data_.length()) setStatus(NSStreamStatus::AtEnd);
        return long(count);
    }
    bool hasBytesAvailable() const override {
        return streamStatus() == NSStreamStatus::Open && offset_ < data_.length();
    }
    bool supportsCopying() const override { return true; }
    std::shared_ptr<Object> copyWithZone(NSZone*) const override {
        return std::make_shared<DataInputStream>(data_);
    }

  private:
    Data data_;
    size_t offset_ = 0;
};

class FileInputStream final : public NSInputStream {
  public:
    explicit FileInputStream(std::string path) : path_(std::move(path)) {}
    ~FileInputStream() override {
        if (fd_ >= 0) ::close(fd_);
    }

    void open() override {
        if (streamStatus() != NSStreamStatus::NotOpen) return;
        fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            fail(posixError(errno, path_));
            return;
        }
        setStatus(NSStreamStatus::Open);
    }
    void close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        setStatus(NSStreamStatus::Closed);
    }
    long read(uint8_t* buffer, size_t maxLength) override {
        NSStreamStatus status = streamStatus();
        if (status == NSStreamStatus::AtEnd) return 0;
        if (status != NSStreamStatus::Open) {
            if (status != NSStreamStatus::Error) fail(notOpenError());
            return -1;
        }
        ssize_t count;
        do {
            count = ::read(fd_, buffer, maxLength);
        } while (count < 0 && errno == EINTR);
        if (count < 0) {
            fail(posixError(errno, path_));
            return -1;
        }
        if (count == 0) setStatus(NSStreamStatus::AtEnd);
        return long(count);
    }
    bool hasBytesAvailable() const override { return streamStatus() == NSStreamStatus::Open; }
    bool supportsCopying() const override { return true; }
    std::shared_ptr<Object> copyWithZone(NSZone*) const override {
        return std::make_shared<FileInputStream>(path_);
    }

  private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace

std::shared_ptr<NSInputStream> NSInputStream::inputStreamWithData(Data data) {
    return std::make_shared<DataInputStream>(std::move(data));
}

std::shared_ptr<NSInputStream> NSInputStream::inputStreamWithFileAtPath(std::string path) {
    return std::make_shared<FileInputStream>(std::move(path));
}

void NSInputStream::open() {
    if (streamStatus() == NSStreamStatus::NotOpen) setStatus(NSStreamStatus::Open);
}

void NSInputStream::close() {
    setStatus(NSStreamStatus::Closed);
}

long NSInputStream::read(uint8_t*, size_t) {
    // The base stream is empty.
    if (streamStatus() != NSStreamStatus::Open && streamStatus() != NSStreamStatus::AtEnd) return -1;
    setStatus(NSStreamStatus::AtEnd);
    return 0;
}

bool NSInputStream::hasBytesAvailable() const {
    return streamStatus() == NSStreamStatus::Open;
}

NSErrorPtr NSInputStream::streamError() const {
    std::lock_guard lock(errorMutex_);
    return error_;
}

std::shared_ptr<Object> NSInputStream::copyWithZone(NSZone*) const {
    return nullptr;
}

void NSInputStream::fail(NSErrorPtr error) {
    {
        std::lock_guard lock(errorMutex_);
        error_ = std::move(error);
    }
    setStatus(NSStreamStatus::Error);
}
