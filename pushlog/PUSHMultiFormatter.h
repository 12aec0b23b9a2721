// A formatter made of other formatters: each member formats the text the member before it produced.
//
// Every member sees a copy of the record whose text is the text so far; time, flag, file, thread and tag
// stay the record's own. A member that drops the record ends the chain (later members are not asked). The
// result is the record's own text (`Original`) as long as no member made a new text, so that loggers that
// tell formatted from unformatted lines still can.
//
// The list and all formatting live on the chain's serial queue ("push.logging.multiformatter"), in the order
// they were asked for: an `addFormatter` followed by `formatLogMessage` from the same thread formats with the
// added member. Changes return at once; formatting and the two questions wait for the queue. Members are
// therefore never called on two threads at once, whatever number of loggers the chain serves. The chain
// does not pass its own add and remove notices on to its members.
#pragma once

#include <memory>
#include <vector>

#include "platform/foundation/DispatchQueue.h"
#include "pushlog/PUSHLogger.h"

class PUSHMultiFormatter : public PUSHLogFormatter, public std::enable_shared_from_this<PUSHMultiFormatter> {
  public:
    static std::shared_ptr<PUSHMultiFormatter> create();

    // What a member throws reaches the caller (the logger), after the queue has been left.
    PUSHLogFormatResult formatLogMessage(const PUSHLogMessage& message) override;
    // A copy of `message` with `line` as its text; everything else, thread id included, is the record's.
    static PUSHLogMessagePtr logMessageForLine(std::string line, const PUSHLogMessage& message);

    // A copy of the list, taken on the queue.
    std::vector<PUSHLogFormatterPtr> formatters() const;
    // Null is ignored. The same formatter may stand in the list more than once.
    void addFormatter(PUSHLogFormatterPtr formatter);
    // Removes every entry of `formatter`.
    void removeFormatter(const PUSHLogFormatterPtr& formatter);
    void removeAllFormatters();
    bool isFormattingWithFormatter(const PUSHLogFormatterPtr& formatter) const;

  private:
    PUSHMultiFormatter();

    DispatchQueuePtr queue_;
    // Only on queue_.
    std::vector<PUSHLogFormatterPtr> formatters_;
};
