#include "server/LogCompression.h"

#include <zlib.h>

#include <memory>
#include <vector>

#include "platform/FileStreams.h"
#include "platform/FolderListing.h"
#include "platform/SystemError.h"
#include "server/Retention.h"

namespace quorvel {

namespace {

// Pieces small enough that a stop is answered at once, and the thread
// gives the disk back to the log writer between them.
constexpr size_t kPieceBytes = 256u << 10;
// zlib's window of 32 KiB with the gzip wrapper (windowBits + 16).
constexpr int kGzipWindowBits = 15 + 16;
constexpr int kMemLevel = 8;

class Deflater {
public:
    Deflater() { ok_ = deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, kMemLevel,
                                    Z_DEFAULT_STRATEGY) == Z_OK; }
    ~Deflater() {
        if (ok_) deflateEnd(&stream_);
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    bool Ok() const { return ok_; }
    z_stream& Stream() { return stream_; }

private:
    z_stream stream_{};
    bool ok_ = false;
};

int Fail(TCompressOutcome& outcome, const char* step, int code) {
    outcome.Step = step;
    return code;
}

}  // namespace

int CompressLogFile(const std::string& path, const std::function<bool()>& keepGoing, TCompressOutcome& outcome) {
    outcome = TCompressOutcome{};
    const std::string finalName = path + std::string(kCompressedSuffix);
    const std::string temporary = path + std::string(kCompressingSuffix);

    platform::InputFile input;
    if (const int code = input.Open(path)) return Fail(outcome, "open", code);
    const long long length = input.Length();
    if (length < 0) return Fail(outcome, "open", platform::LastSystemError());

    // A leftover of a run cut short is ours and of no use: start again.
    platform::RemoveFile(temporary);
    platform::OutputFile output;
    if (const int code = output.Create(temporary)) return Fail(outcome, "create", code);
    // Whatever goes wrong from here takes the temporary file away again.
    struct TTemporary {
        const std::string& Path;
        bool Keep = false;
        ~TTemporary() {
            if (!Keep) platform::RemoveFile(Path);
        }
    } guard{temporary};
    auto failOutput = [&](const char* step, int code) {
        output.Close();
        return Fail(outcome, step, code);
    };

    Deflater deflater;
    if (!deflater.Ok()) return failOutput("compress", kCompressLibrary);
    z_stream& z = deflater.Stream();
    std::vector<char> in(kPieceBytes);
    std::vector<char> out(kPieceBytes);
    int flush = Z_NO_FLUSH;
    do {
        if (keepGoing && !keepGoing()) return failOutput("compress", kCompressCancelled);
        const long long got = input.Read(in.data(), in.size());
        if (got < 0) return failOutput("read", platform::LastSystemError());
        outcome.OriginalBytes += static_cast<uint64_t>(got);
        flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
        z.next_in = reinterpret_cast<Bytef*>(in.data());
        z.avail_in = static_cast<uInt>(got);
        do {
            z.next_out = reinterpret_cast<Bytef*>(out.data());
            z.avail_out = static_cast<uInt>(out.size());
            const int rc = deflate(&z, flush);
            if (rc == Z_STREAM_ERROR) return failOutput("compress", kCompressLibrary);
            const size_t produced = out.size() - z.avail_out;
            if (const int code = output.Write(std::string_view(out.data(), produced))) {
                return failOutput("write", code);
            }
            outcome.CompressedBytes += produced;
        } while (z.avail_out == 0);
    } while (flush != Z_FINISH);

    if (const int code = output.Sync()) return failOutput("sync", code);
    if (const int code = output.Close()) return Fail(outcome, "close", code);
    // Lines appended while we read (a clock set back to the file's day)
    // are not in the copy: the original must stay.
    if (input.Length() != length || outcome.OriginalBytes != static_cast<uint64_t>(length)) {
        return Fail(outcome, "compare", kCompressChanged);
    }
    input.Close();
    if (const int code = platform::RenameNoReplace(temporary, finalName)) return Fail(outcome, "rename", code);
    guard.Keep = true;
    if (const int code = platform::RemoveFile(path)) return Fail(outcome, "remove", code);
    return 0;
}

}  // namespace quorvel
