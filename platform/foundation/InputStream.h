// NSInputStream: a source of bytes read in pieces (request bodies, multipart bodies).
//
// Three kinds: over data, over a file, and custom streams that subclass this class and override `open`,
// `read`, `hasBytesAvailable` and `close` (and `copyWithZone` when they can start over). Status values are
// the platform's (`NSStreamStatus`). A stream is read by one thread at a time; its status and error may be
// read from any thread.
//
// `read` returns the number of bytes read (> 0), 0 at the end, or -1 on an error (`streamError()` then
// tells which). Readers call `read` while `hasBytesAvailable()` is true; a stream that is open but has no
// bytes yet answers false and readers try again later instead of blocking. A stream reaches `AtEnd` once
// `read` has returned 0, or as soon as its last byte was read when it knows its length (data streams).
// The base class's `hasBytesAvailable` answers true while the stream is open.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"

enum class NSStreamStatus : unsigned {
    NotOpen = 0,
    Opening = 1,
    Open = 2,
    Reading = 3,
    Writing = 4,
    AtEnd = 5,
    Closed = 6,
    Error = 7,
};

class NSInputStream : public Object, public NSCopying {
  public:
    static std::shared_ptr<NSInputStream> inputStreamWithData(Data data);
    // The file is opened by `open`; a missing or unreadable file then puts the stream in the error state.
    static std::shared_ptr<NSInputStream> inputStreamWithFileAtPath(std::string path);

    virtual void open();
    virtual void close();
    virtual long read(uint8_t* buffer, size_t maxLength);
    virtual bool hasBytesAvailable() const;

    NSStreamStatus streamStatus() const { return status_.load(); }
    NSErrorPtr streamError() const;

    // A fresh, unopened stream over the same bytes; nullptr for a stream that cannot start over. Data and
    // file streams can; custom streams override this when they can.
    std::shared_ptr<Object> copyWithZone(NSZone* zone) const override;
    // Whether `copyWithZone` gives a stream (the platform's NSCopying conformance).
    virtual bool supportsCopying() const { return false; }

  protected:
    NSInputStream() = default;
    void setStatus(NSStreamStatus status) { status_.store(status); }
    // Puts the stream in the error state with `error`.
    void fail(NSErrorPtr error);

  private:
    std::atomic<NSStreamStatus> status_{NSStreamStatus::NotOpen};
    mutable std::mutex errorMutex_;
    NSErrorPtr error_;
};

using NSInputStreamPtr = std::shared_ptr<NSInputStream>;
