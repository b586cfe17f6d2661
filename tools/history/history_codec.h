#pragma once
// The compact forms of the history file: a device's values of an hour or a day as one
// chunk (the times the device answered, then one bit stream per series), the cycle
// statistics of one hour, and a device's hourly rollups of one day. Every form gives back exactly what went
// in: the same times, the same values bit for bit, the same absent values.
//
// Codes are written most significant bit first. Numbers move as deltas: a time as the
// change of its step from the last step (a run of polls on a steady grid: a few bits in
// all), a value as the change of a scaled integer (0.1 V steps: a few bits) or, where no
// scale gives the value back exactly, its raw 64 bits. Changes are written in an adaptive
// Rice code that follows the size of the recent ones, so a series that moves by one digit
// and one that moves by hundreds both cost a few bits a change. Blobs carry a version;
// blobs of earlier versions are read as they are.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zrt::host::codec {

class BitWriter {
public:
    void put(uint64_t v, int bits);  // the low `bits` bits of v, 0 to 64
    void put_bit(bool b) { put(b ? 1 : 0, 1); }
    size_t bits() const { return bits_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    void append(const BitWriter& w);  // w's bits after these

private:
    std::vector<uint8_t> bytes_;
    size_t bits_ = 0;
};

// Reads what a BitWriter wrote; never past `bits`: a read beyond sets failed() and gives 0.
class BitReader {
public:
    BitReader(const uint8_t* p, size_t bits, size_t start = 0) : p_(p), bits_(bits), pos_(start) {}
    size_t pos() const { return pos_; }
    uint64_t get(int bits);
    bool bit() { return get(1) != 0; }
    bool failed() const { return failed_; }
    bool at_end() const { return pos_ >= bits_; }

private:
    const uint8_t* p_;
    size_t bits_, pos_;
    bool failed_ = false;
};

inline uint64_t zigzag(int64_t v) { return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63); }
inline int64_t unzigzag(uint64_t z) { return static_cast<int64_t>(z >> 1) ^ -static_cast<int64_t>(z & 1); }

// n >= 1 in 2*floor(log2 n)+1 bits.
void put_gamma(BitWriter& w, uint64_t n);
uint64_t get_gamma(BitReader& r);
// A zig-zagged number, small ones short: '0' for 0, then 9, 15, 24 and 68 bit forms.
void put_small(BitWriter& w, uint64_t z);
uint64_t get_small(BitReader& r);
// The same for the changes of a value stepping by its last digit: 1 for 0, 4 bits for 1 to
// 4, 8 for 5 to 36, then 13, 21 and 69 bit forms.
void put_step(BitWriter& w, uint64_t z);
uint64_t get_step(BitReader& r);

// n >= 1: the length of n in gamma, then n without its top bit.
void put_delta(BitWriter& w, uint64_t n);
uint64_t get_delta(BitReader& r);

// An adaptive Rice code for numbers >= 0: the quotient by 2^k in unary, then k low bits,
// where k follows the mean of the numbers coded before (so a stream of similar numbers
// costs about log2 of their size plus two bits; a single outlier moves k little). A
// quotient of 24 or more is written as 24 ones and the raw 64 bits. Encoder and decoder
// start alike and see the same numbers.
class Rice {
public:
    explicit Rice(uint64_t mean = 4) : sum_(mean), n_(1) {}
    void put(BitWriter& w, uint64_t v);
    uint64_t get(BitReader& r);

private:
    int k() const;
    void seen(uint64_t v, int k);
    uint64_t sum_;
    uint32_t n_;
};

// Byte-aligned unsigned varints for headers.
void put_varint(std::vector<uint8_t>& out, uint64_t v);
bool get_varint(const uint8_t*& p, const uint8_t* end, uint64_t& v);

// A stream of doubles: each as a scaled integer's change from the last one where a scale
// (10^0 to 10^6, of the double or of the float it came from) gives it back bit for bit,
// else as its raw bits. The same object must encode and decode the same sequence.
class ValueCoder {
public:
    // `steps`: changes coded for values that move by a few steps of their last digit.
    explicit ValueCoder(bool steps = false) : steps_(steps) {}
    void encode(BitWriter& w, double v);
    bool decode(BitReader& r, double& v);

    // The parts for coders that write the change themselves: whether v is exact in the
    // current scale (and its scaled integer), the value of a scaled integer (taken as the
    // last), the last scaled integer, and the full form ('0', float or double, scale and
    // the integer; or '1' and the raw bits), which sets the scale.
    bool fits(double v, int64_t& k) const { return mode_ >= 0 && exact(v, mode_, scale_, k); }
    double take(int64_t k) {
        k_ = k;
        return make(k);
    }
    int64_t last() const { return k_; }
    bool scaled() const { return mode_ >= 0; }
    void put_full(BitWriter& w, double v);
    bool get_full(BitReader& r, double& v);

private:
    bool exact(double v, int mode, int scale, int64_t& k) const;
    double make(int64_t k) const;
    bool steps_;
    int mode_ = -1;  // -1: no scale yet (or after a raw value); 0: double; 1: float
    int scale_ = 0;
    int64_t k_ = 0;
};

// One series' samples in a device chunk. A sample is the index of the poll (the device's
// answer) it was written at, and its value (absent: nullopt). A sample written when the
// refresh period has run since the last one, with an unchanged value, is expected: runs of
// those cost a few bits in all.
struct Sample {
    uint32_t poll = 0;
    std::optional<double> value;
};

class SeriesEncoder {
public:
    SeriesEncoder(int64_t series, int64_t refresh_ms) : series_(series), refresh_ms_(refresh_ms) {}
    // `polls`: the chunk's poll times so far; the sample's poll is the last of them.
    void add(const std::vector<int64_t>& polls, const std::optional<double>& v);
    // The stream: what is settled, and the run still open.
    BitWriter finish() const;
    int64_t series() const { return series_; }
    int64_t refresh_ms() const { return refresh_ms_; }
    uint32_t samples() const { return samples_; }
    // The bits settled so far, and the run of expected samples still open.
    const BitWriter& settled() const { return w_; }
    uint32_t run() const { return run_; }

private:
    int64_t series_, refresh_ms_;
    BitWriter w_;
    ValueCoder values_;
    Rice gaps_{8}, steps_{4};
    uint32_t samples_ = 0, run_ = 0;
    int64_t last_poll_ = -1;
    std::optional<double> last_;
};

// The poll after `from` whose time is at least `due`; -1 if none.
int64_t expected_poll(const std::vector<int64_t>& polls, int64_t from, int64_t due);

// A device's chunk: poll times and per-series streams, encoded and read back.
struct ChunkStream {
    int64_t series = 0, refresh_ms = 0;
    int version = 0;
    uint32_t samples = 0;  // chunks of version 2; later ones end with the stream's bits
    const uint8_t* bits = nullptr;  // the blob's bit stream
    size_t offset = 0, nbits = 0;   // where the stream's samples are in it
};
struct ParsedChunk {
    std::vector<int64_t> polls;
    std::vector<ChunkStream> streams;
};

class ChunkEncoder {
public:
    void add_poll(int64_t t);
    // The poll times so far.
    const std::vector<int64_t>& polls() const { return polls_; }
    SeriesEncoder& stream(int64_t series, int64_t refresh_ms);
    std::vector<uint8_t> blob() const;
    bool empty() const { return polls_.empty(); }
    // The poll times' settled bits and the steady run still open; the streams.
    const BitWriter& poll_bits() const { return poll_bits_; }
    uint64_t steady() const { return steady_; }
    const std::vector<SeriesEncoder>& streams() const { return streams_; }

private:
    std::vector<int64_t> polls_;
    BitWriter poll_bits_;  // the first poll, the first step, then the settled runs
    int64_t last_delta_ = 0;
    uint64_t steady_ = 0;  // polls on the steady grid since the last change of step
    Rice poll_rice_{16};
    std::vector<SeriesEncoder> streams_;
};

// Parses the header and the poll times; false for a blob that is not a chunk.
bool parse_chunk(const uint8_t* p, size_t n, ParsedChunk& out);
// The samples of one stream, in poll order.
bool decode_stream(const ParsedChunk& c, const ChunkStream& s, std::vector<Sample>& out);

// The chunk without its polls (and samples) before `cut`, its times moved on by `shift`;
// empty when no poll is left, and when the chunk does not decode (`ok` false).
std::vector<uint8_t> trim_chunk(const ParsedChunk& c, int64_t cut, bool& ok, int64_t shift = 0);
// Several chunks as one, their polls in the order given, the same way trimmed and moved.
// Every sample comes back as it went in: only the bits that say it change.
std::vector<uint8_t> rechunk(const std::vector<const ParsedChunk*>& parts, int64_t cut, bool& ok, int64_t shift = 0);
// A chunk joined to another holds at most this many polls (a day at one a second).
constexpr size_t kMaxJoinedPolls = 86'400;

// Cycle statistics: one row per complete polling cycle.
struct CycleRow {
    int64_t time_ms = 0;
    uint64_t n = 0;
    double duration_ms = 0;
    uint64_t errors = 0, bad_frames = 0, timeouts = 0;
};
// A chunk's totals, kept beside it so that long reports need not decode the rows. Time
// polled: the steps between cycles up to a minute, and a cycle's duration where a run starts.
struct CycleSums {
    uint64_t errors = 0, bad_frames = 0, timeouts = 0;
    double duration_ms = 0, covered_ms = 0;
};
class CycleEncoder {
public:
    void add(const CycleRow& r);
    std::vector<uint8_t> blob() const;
    size_t rows() const { return rows_; }
    const CycleSums& sums() const { return sums_; }
    const BitWriter& bits() const { return w_; }

private:
    CycleSums sums_;
    BitWriter w_;
    ValueCoder duration_;
    Rice time_rice_{1}, duration_rice_{16};
    CycleRow last_;
    int64_t last_delta_ = 0;
    size_t rows_ = 0;
};
bool decode_cycles(const uint8_t* p, size_t n, std::vector<CycleRow>& out);

// One series' figures of one hour: over the rows written in it.
struct Rollup {
    int64_t series = 0;
    int hour = 0;  // 0 to 23 within the day
    uint64_t count = 0, absent = 0;  // rows with a value, rows absent
    double min = 0, max = 0, mean = 0;  // over the rows with a value (when count > 0)
};
// A day's rollups of one device, in any order; encoded by series, then hour.
std::vector<uint8_t> encode_rollups(std::vector<Rollup> rows);
bool decode_rollups(const uint8_t* p, size_t n, std::vector<Rollup>& out);
// Adds b's rows to a (same series and hour).
void merge_rollup(Rollup& a, const Rollup& b);

// The commit log. A chunk being filled is not written whole by every commit: each commit
// logs what the chunk's encoder added since the commit before (the new settled bits, the
// counts, the open runs), a few bits a series, and the chunk is written whole once, when its
// hour closes. A reader rebuilds the chunk being filled from its entries, bit for bit as its
// encoder gives it.
struct ChunkLogMark {
    size_t polls = 0, poll_bits = 0;
    uint64_t steady = 0;
    std::vector<std::pair<size_t, uint32_t>> streams;  // per stream: its settled bits, its open run
};
// Writes what `enc` added since `mark` to `out`, and moves `mark` on.
void log_chunk(const ChunkEncoder& enc, ChunkLogMark& mark, BitWriter& out);
struct CycleLogMark {
    size_t rows = 0, bits = 0;
};
void log_cycles(const CycleEncoder& enc, CycleLogMark& mark, BitWriter& out);

// A chunk rebuilt from its entries, applied in the order written. Entries before its first
// (of an earlier chunk's row of the same id, in a slot not yet written over) are skipped.
class ChunkLog {
public:
    bool apply(BitReader& r);  // false: the entry does not parse
    bool started() const { return started_; }
    std::vector<uint8_t> blob() const;

private:
    bool started_ = false;
    struct Stream {
        int64_t series = 0, refresh_ms = 0;
        BitWriter bits;
        uint32_t run = 0;
    };
    uint64_t polls_ = 0, steady_ = 0;
    BitWriter poll_bits_;
    std::vector<Stream> streams_;
};
class CycleLog {
public:
    bool apply(BitReader& r);
    bool started() const { return started_; }
    std::vector<uint8_t> blob() const;

private:
    bool started_ = false;
    uint64_t rows_ = 0;
    BitWriter bits_;
};

// A row of the log holds one commit's entries: a version, then per entry its kind, the id of
// the chunk's row, its length in bits and its bits.
enum class LogKind { Chunk = 1, Cycles = 2 };
std::vector<uint8_t> log_row_start();
void put_log_entry(std::vector<uint8_t>& row, LogKind kind, int64_t id, const BitWriter& bits);
// Calls `f` with each entry's reader; false when the row does not parse or `f` says so.
bool for_each_log_entry(const uint8_t* p, size_t n, const std::function<bool(LogKind, int64_t, BitReader&)>& f);

}  // namespace zrt::host::codec
