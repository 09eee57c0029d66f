// Shared by the reader fuzz targets: a scripted standard input, an independent model of how the
// two readers take their input, and a runner that makes each real call next to the model's and
// compares what comes out.
//
// The script format (what follows the targets' own header bytes):
//   every byte stands for itself, except 0xFF, which starts a mark:
//     0xFF 0xFF  one byte 0xFF
//     0xFF '0'   a read that returns nothing (0)
//     0xFF '!'   a read that fails (-1)
//     0xFF other a boundary between two reads
//   Once the script is used up, every read returns nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "console/console_out.h"
#include "console/readers.h"
#include "fuzz_check.h"

namespace basedrill::fuzz {

// One read of the scripted source, as it is scripted or as it was delivered.
struct SourceRead {
    enum class Kind : std::uint8_t { Bytes, Nothing, Fails };
    Kind kind = Kind::Bytes;
    std::string bytes;  // never empty for Kind::Bytes: an empty read is Kind::Nothing
};

inline std::vector<SourceRead> parseScript(const std::uint8_t* data, std::size_t size) {
    std::vector<SourceRead> reads;
    std::string chunk;
    const auto endChunk = [&] {
        if (!chunk.empty()) reads.push_back({SourceRead::Kind::Bytes, chunk});
        chunk.clear();
    };
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != 0xFF) {
            chunk.push_back(static_cast<char>(data[i]));
            continue;
        }
        if (++i == size) break;  // a mark cut off at the end: nothing
        const std::uint8_t mark = data[i];
        if (mark == 0xFF) {
            chunk.push_back(static_cast<char>(0xFF));
        } else if (mark == '0') {
            endChunk();
            reads.push_back({SourceRead::Kind::Nothing, {}});
        } else if (mark == '!') {
            endChunk();
            reads.push_back({SourceRead::Kind::Fails, {}});
        } else {
            endChunk();
        }
    }
    endChunk();
    return reads;
}

// Standard input as the script says. A scripted chunk larger than a read's capacity comes in
// several reads; every read is logged as it was delivered.
class ScriptSource : public ByteSource {
  public:
    explicit ScriptSource(std::vector<SourceRead> script) : script_(std::move(script)) {}

    long read(char* buffer, std::size_t capacity) override {
        FUZZ_REQUIRE(capacity > 0, "a read with no room cannot tell data from end of input");
        if (beforeRead) beforeRead(context);
        ++reads;
        if (next_ == script_.size()) {
            log_.push_back({SourceRead::Kind::Nothing, {}});
            return 0;
        }
        const SourceRead& item = script_[next_];
        if (item.kind != SourceRead::Kind::Bytes) {
            ++next_;
            log_.push_back({item.kind, {}});
            return item.kind == SourceRead::Kind::Fails ? -1 : 0;
        }
        const std::size_t n = std::min(capacity, item.bytes.size() - offset_);
        std::memcpy(buffer, item.bytes.data() + offset_, n);
        log_.push_back({SourceRead::Kind::Bytes, item.bytes.substr(offset_, n)});
        if (log_.back().bytes.find('\x1a') != std::string::npos) deliveredEnd_ = true;
        offset_ += n;
        if (offset_ == item.bytes.size()) {
            ++next_;
            offset_ = 0;
        }
        return static_cast<long>(n);
    }

    // Every scripted read has been delivered: from now on every read returns nothing.
    bool usedUp() const { return next_ == script_.size(); }
    // A delivered read held a byte 26: nothing after it is input any more.
    bool deliveredEnd() const { return deliveredEnd_; }

    // The reads as they were delivered, then what the script still holds, one read per chunk.
    std::vector<SourceRead> deliveredThenRest() const {
        std::vector<SourceRead> all = log_;
        for (std::size_t i = next_; i < script_.size(); ++i) {
            SourceRead item = script_[i];
            if (i == next_ && offset_ > 0) item.bytes.erase(0, offset_);
            all.push_back(std::move(item));
        }
        return all;
    }

    int reads = 0;
    void (*beforeRead)(void*) = nullptr;  // called before every read, with `context`
    void* context = nullptr;

  private:
    std::vector<SourceRead> script_;
    std::vector<SourceRead> log_;
    std::size_t next_ = 0;
    std::size_t offset_ = 0;
    bool deliveredEnd_ = false;
};

// Collects what ConsoleOut hands on.
class CountingSink : public ByteSink {
  public:
    bool write(std::string_view bytes) override {
        received += bytes.size();
        return true;
    }
    std::size_t received = 0;
};

// ---------------------------------------------------------------------------------------------
// The model. It works on the refills that the text-mode layer hands out: whatever reader asks,
// the n-th refill gets the same thing, so the whole sequence follows from the source's reads.

struct Refill {
    enum class Kind : std::uint8_t { Text, End, Failed };
    Kind kind = Kind::End;
    std::string text;
};

// Each read: carriage returns dropped; a byte 26 ends everything for good, the bytes before it
// still delivered; the rest cut into refills of at most one line and at most 512 bytes, never
// joining two reads. A read that brings nothing but carriage returns makes no refill of its own:
// the refill in progress goes on to the next read. After the last read, only ends.
inline std::vector<Refill> refillsFrom(const std::vector<SourceRead>& reads) {
    constexpr std::size_t kMost = 512;
    std::vector<Refill> refills;
    for (const SourceRead& read : reads) {
        if (read.kind == SourceRead::Kind::Nothing) {
            refills.push_back({Refill::Kind::End, {}});
            continue;
        }
        if (read.kind == SourceRead::Kind::Fails) {
            refills.push_back({Refill::Kind::Failed, {}});
            continue;
        }
        std::string cleaned;
        const std::size_t stop = read.bytes.find('\x1a');
        for (char c : read.bytes.substr(0, stop))
            if (c != '\r') cleaned.push_back(c);
        std::size_t at = 0;
        while (at < cleaned.size()) {
            const std::size_t lf = cleaned.find('\n', at);
            const std::size_t lineEnd = lf == std::string::npos ? cleaned.size() : lf + 1;
            const std::size_t n = std::min(lineEnd - at, kMost);
            refills.push_back({Refill::Kind::Text, cleaned.substr(at, n)});
            at += n;
        }
        if (stop != std::string::npos) break;
    }
    return refills;
}

class RefillStream {
  public:
    explicit RefillStream(std::vector<Refill> refills) : refills_(std::move(refills)) {}
    Refill take() { return at_ < refills_.size() ? refills_[at_++] : Refill{}; }
    // Only ends are left.
    bool exhausted() const { return at_ >= refills_.size(); }
    std::size_t size() const { return refills_.size(); }

  private:
    std::vector<Refill> refills_;
    std::size_t at_ = 0;
};

class NumberModel {
  public:
    explicit NumberModel(RefillStream& in) : in_(in) {}

    // The value read, or nothing when the read fails (or the reader has failed before).
    std::optional<std::int32_t> read() {
        if (failed_) return std::nullopt;
        int c = look();
        while (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') {
            ++at_;
            c = look();
        }
        if (c < 0) return fail();
        const bool minus = c == '-';
        if (c == '-' || c == '+') {
            ++at_;
            c = look();
        }
        std::uint64_t base = 10;
        if (c == '0') {
            ++at_;
            c = look();
            if (c == 'x' || c == 'X') {
                ++at_;
                c = look();
                base = 16;
            } else if (c >= '0' && c <= '7') {
                base = 8;
            } else {
                return 0;
            }
        }
        if (digit(c, base) < 0) return fail();
        std::uint64_t value = 0;
        for (int d = digit(c, base); d >= 0; d = digit(c, base)) {
            value = (value * base + static_cast<std::uint64_t>(d)) & 0xFFFFFFFFu;
            ++at_;
            c = look();
        }
        if (minus) value = (0x100000000u - value) & 0xFFFFFFFFu;
        return static_cast<std::int32_t>(static_cast<std::int64_t>(value) -
                                         (value >= 0x80000000u ? 0x100000000 : 0));
    }
    bool failed() const { return failed_; }
    std::size_t buffered() const { return text_.size() - at_; }

  private:
    static int digit(int c, std::uint64_t base) {
        static constexpr std::string_view kDigits = "0123456789abcdef";
        if (c < 0) return -1;
        int lower = c;
        if (c >= 'A' && c <= 'F') lower = c - 'A' + 'a';
        const std::size_t d = kDigits.find(static_cast<char>(lower));
        return d != std::string_view::npos && d < base ? static_cast<int>(d) : -1;
    }
    // The next character, or -1: each look at an empty buffer takes one refill, and a refill
    // that is no text ends the read in progress.
    int look() {
        if (at_ == text_.size()) {
            Refill r = in_.take();
            if (r.kind != Refill::Kind::Text) return -1;
            text_ = std::move(r.text);
            at_ = 0;
        }
        return static_cast<unsigned char>(text_[at_]);
    }
    std::nullopt_t fail() {
        failed_ = true;
        return std::nullopt;
    }

    RefillStream& in_;
    std::string text_;
    std::size_t at_ = 0;
    bool failed_ = false;
};

class LineModel {
  public:
    explicit LineModel(RefillStream& in) : in_(in) {}

    // The line without its line feed, or nothing.
    std::optional<std::string> read() {
        if (failed_) return std::nullopt;
        std::string line;
        bool any = false;
        for (;;) {
            if (at_ == text_.size()) {
                Refill r = in_.take();
                if (r.kind == Refill::Kind::Failed) {
                    failed_ = true;
                    return std::nullopt;
                }
                if (r.kind == Refill::Kind::End) {
                    if (!any) return std::nullopt;
                    return line;
                }
                text_ = std::move(r.text);
                at_ = 0;
            }
            const char c = text_[at_++];
            any = true;
            if (c == '\n') return line;
            line.push_back(c);
        }
    }
    bool failed() const { return failed_; }

  private:
    RefillStream& in_;
    std::string text_;
    std::size_t at_ = 0;
    bool failed_ = false;
};

// ---------------------------------------------------------------------------------------------
// The real readers next to the model.
//
// The model can only run once the source's reads are known: a scripted chunk larger than what
// the text-mode layer asks for comes in several reads, and where they split decides the
// refills. So the real calls are recorded, and compared with the model once the script is used
// up (or a byte 26 has ended the input); from then on every call is compared as it is made.

class ReaderBench {
  public:
    explicit ReaderBench(std::vector<SourceRead> script) : source_(std::move(script)) {
        source_.beforeRead = &ReaderBench::checkFlushed;
        source_.context = this;
    }

    void readNumber() {
        Call call;
        call.op = Call::Op::Number;
        out_.writeText("? ");
        written_ += 2;
        const std::size_t sinkBefore = sink_.received;
        const int readsBefore = source_.reads;
        const bool wasFailed = numbers_.failed();
        std::int32_t target = sentinel(calls_.size());
        inNumberRead_ = true;
        numbers_.readNumber(target);
        inNumberRead_ = false;
        if (wasFailed) {
            FUZZ_REQUIRE(source_.reads == readsBefore, "a failed number reader read input");
            FUZZ_REQUIRE(sink_.received == sinkBefore, "a failed number reader flushed");
            FUZZ_REQUIRE(numbers_.failed(), "the number reader's failure was undone");
        } else {
            FUZZ_REQUIRE(sink_.received == written_, "readNumber did not flush the output");
        }
        call.failedAfter = numbers_.failed();
        call.target = target;
        record(call);
    }

    void readLine() {
        Call call;
        call.op = Call::Op::Line;
        const std::size_t sinkBefore = sink_.received;
        const int readsBefore = source_.reads;
        const bool wasFailed = lines_.readFailed();
        call.gotLine = lines_.readLine(reply_);
        FUZZ_REQUIRE(sink_.received == sinkBefore, "readLine flushed the output");
        if (wasFailed) {
            FUZZ_REQUIRE(source_.reads == readsBefore, "a failed line reader read input");
            FUZZ_REQUIRE(!call.gotLine, "a failed line reader gave a line");
            FUZZ_REQUIRE(lines_.readFailed(), "the line reader's failure mark was cleared");
        }
        call.failedAfter = lines_.readFailed();
        call.kept = std::string(reply_.kept());
        call.longer = reply_.longer();
        call.equalsSi = reply_.equals("si");
        call.equalsKept = reply_.equals(reply_.kept());
        record(call);
    }

    bool numbersFailed() const { return numbers_.failed(); }

    // Goes on reading until nothing but ends can come, so that whatever the earlier calls left
    // unread is read and compared too; then a few calls at the end of input.
    void finish() {
        // Until the reads to come are known: lines while the line reader can, else numbers.
        for (std::size_t guard = 0; !readsKnown() && guard < kGuard; ++guard) {
            if (!readAnother()) break;
        }
        // Both readers may have failed before that: nothing reads any more.
        FUZZ_REQUIRE(readsKnown() || (lines_.readFailed() && numbers_.failed()),
                     "the drain stopped early");
        if (!model_) startModel();
        // Until only ends are left for the next refill.
        for (std::size_t guard = 0; !model_->stream.exhausted() && guard < kGuard; ++guard) {
            if (!readAnother()) break;
        }
        readLine();
        readLine();
        // What the number reader still holds, until it fails.
        for (std::size_t guard = 0; !numbers_.failed() && guard < kGuard; ++guard)
            readNumber();
        FUZZ_REQUIRE(numbers_.failed(), "the number reader never met the end of its input");
        readNumber();
        readLine();
    }

  private:
    struct Call {
        enum class Op : std::uint8_t { Number, Line };
        Op op = Op::Line;
        bool failedAfter = false;
        std::int32_t target = 0;
        bool gotLine = false;
        std::string kept;
        bool longer = false;
        bool equalsSi = false;
        bool equalsKept = false;
    };

    struct Model {
        explicit Model(std::vector<Refill> refills) : stream(std::move(refills)) {}
        RefillStream stream;
        NumberModel numbers{stream};
        LineModel lines{stream};
        std::string reply;  // the whole last line read
    };

    static constexpr std::size_t kGuard = 1'000'000;

    static std::int32_t sentinel(std::size_t i) {
        return static_cast<std::int32_t>(0x5EED0000u + static_cast<std::uint32_t>(i));
    }

    static void checkFlushed(void* self) {
        auto* bench = static_cast<ReaderBench*>(self);
        if (bench->inNumberRead_)
            FUZZ_REQUIRE(bench->sink_.received == bench->written_,
                         "readNumber read input before flushing the output");
    }

    // What every later read delivers is known: nothing, or nothing that counts.
    bool readsKnown() const { return source_.usedUp() || source_.deliveredEnd(); }

    bool readAnother() {
        if (!lines_.readFailed()) {
            readLine();
        } else if (!numbers_.failed()) {
            readNumber();
        } else {
            return false;
        }
        return true;
    }

    void record(const Call& call) {
        calls_.push_back(call);
        if (!model_ && readsKnown()) startModel();
        catchUp();
    }

    void startModel() {
        model_ = std::make_unique<Model>(refillsFrom(source_.deliveredThenRest()));
        catchUp();
    }

    // Compares the calls made since the last comparison, once the model runs.
    void catchUp() {
        for (; model_ && checked_ < calls_.size(); ++checked_)
            check(checked_);
    }

    void check(std::size_t i) {
        const Call& call = calls_[i];
        Model& m = *model_;
        if (call.op == Call::Op::Number) {
            const std::optional<std::int32_t> want = m.numbers.read();
            FUZZ_REQUIRE(call.target == want.value_or(sentinel(i)),
                         want ? "readNumber gave the wrong value"
                              : "a failed readNumber changed its target");
            FUZZ_REQUIRE(call.failedAfter == m.numbers.failed(),
                         "the number reader's failed state is wrong");
            return;
        }
        const std::optional<std::string> want = m.lines.read();
        FUZZ_REQUIRE(call.gotLine == want.has_value(),
                     want ? "readLine gave no line where there is one"
                          : "readLine gave a line where there is none");
        if (want) m.reply = *want;
        FUZZ_REQUIRE(call.failedAfter == m.lines.failed(),
                     "the line reader's failure mark is wrong");
        FUZZ_REQUIRE(call.kept == m.reply.substr(0, Reply::kRoom),
                     "the reply keeps the wrong characters");
        FUZZ_REQUIRE(call.longer == (m.reply.size() > Reply::kRoom),
                     "the reply's longer mark is wrong");
        FUZZ_REQUIRE(call.equalsSi == (m.reply == "si"), "the reply's yes test is wrong");
        FUZZ_REQUIRE(call.equalsKept == (m.reply.size() <= Reply::kRoom),
                     "a longer reply equals the text it keeps");
    }

    ScriptSource source_;
    CountingSink sink_;
    ConsoleOut out_{sink_, false};
    TextInput input_{source_};
    NumberReader numbers_{input_, out_};
    LineReader lines_{input_};
    Reply reply_;
    std::vector<Call> calls_;
    std::size_t checked_ = 0;
    std::unique_ptr<Model> model_;
    std::size_t written_ = 0;
    bool inNumberRead_ = false;
};

}  // namespace basedrill::fuzz
