// Compressing a finished log beside itself with zlib's gzip format: a
// temporary file, synced and renamed, and the original removed only then.

#include "server/LogCompression.h"

#include <zlib.h>

#include <memory>
#include <vector>

#include "platform/FileStreams.h"
#include "platform/FolderListing.h"
#include "platform/SystemError.h"
#include "server/Retention.h"
#include "util/ScopeExit.h"

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

// The whole input through deflate into output, in pieces; 0, or the code
// with its step in outcome.
int DeflateAll(platform::InputFile& input, platform::OutputFile& output, const std::function<bool()>& keepGoing,
               TCompressOutcome& outcome) {
    Deflater deflater;
    if (!deflater.Ok()) return Fail(outcome, "compress", kCompressLibrary);
    z_stream& z = deflater.Stream();
    std::vector<char> in(kPieceBytes);
    std::vector<char> out(kPieceBytes);
    int flush = Z_NO_FLUSH;
    do {
        if (keepGoing && !keepGoing()) return Fail(outcome, "compress", kCompressCancelled);
        const long long got = input.Read(in.data(), in.size());
        if (got < 0) return Fail(outcome, "read", platform::LastSystemError());
        outcome.OriginalBytes += static_cast<uint64_t>(got);
        flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
        z.next_in = reinterpret_cast<Bytef*>(in.data());
        z.avail_in = static_cast<uInt>(got);
        do {
            z.next_out = reinterpret_cast<Bytef*>(out.data());
            z.avail_out = static_cast<uInt>(out.size());
            if (deflate(&z, flush) == Z_STREAM_ERROR) return Fail(outcome, "compress", kCompressLibrary);
            const size_t produced = out.size() - z.avail_out;
            if (const int code = output.Write(std::string_view(out.data(), produced))) {
                return Fail(outcome, "write", code);
            }
            outcome.CompressedBytes += produced;
        } while (z.avail_out == 0);
    } while (flush != Z_FINISH);
    return 0;
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
    bool keep = false;
    const TScopeExit removeTemporary([&keep, &temporary] {
        if (!keep) platform::RemoveFile(temporary);
    });
    int code = DeflateAll(input, output, keepGoing, outcome);
    if (code == 0 && (code = output.Sync()) != 0) Fail(outcome, "sync", code);
    if (code != 0) {
        output.Close();
        return code;
    }
    if (const int code = output.Close()) return Fail(outcome, "close", code);
    // Lines appended while we read (a clock set back to the file's day)
    // are not in the copy: the original must stay.
    if (input.Length() != length || outcome.OriginalBytes != static_cast<uint64_t>(length)) {
        return Fail(outcome, "compare", kCompressChanged);
    }
    input.Close();
    if (const int code = platform::RenameNoReplace(temporary, finalName)) return Fail(outcome, "rename", code);
    keep = true;
    if (const int code = platform::RemoveFile(path)) return Fail(outcome, "remove", code);
    return 0;
}

}  // namespace quorvel
