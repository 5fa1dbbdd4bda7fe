#include "dravik/codec.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

#include "lib/codec/yaz0_decode.h"
#include "lib/codec/yaz0_tokens.h"

namespace dravik::yaz0 {

namespace {

// Inputs this large are cut into blocks of kBlockSize, each coded on its
// own with the window before it as history, so blocks can go to different
// threads and memory stays bounded. The blocking depends only on the size,
// so the bytes never depend on the thread count.
constexpr std::size_t kSplitFrom = std::size_t{1} << 20;
constexpr std::size_t kBlockSize = std::size_t{256} << 10;
// How far past its end a block is parsed by the optimal levels. Cheapest
// paths from nearby places meet within a few tokens, and equally cheap
// choices are taken longest first, so 4 KiB before the look ahead stops the
// path no longer depends on where it stops.
constexpr std::size_t kLookahead = 4096;
// Inputs up to this size are coded as `best` codes them at every level: on
// a few KiB the cheapest path over exact matches costs a fraction of a
// millisecond more, and small files end no further from the minimum than
// large ones.
constexpr std::size_t kSmallUpTo = std::size_t{4} << 10;

// Whether blocks of this size at this level are parsed along the cheapest
// path (else greedily).
bool optimal(Level level, std::size_t block_size) {
    return level != Level::fast || block_size <= kSmallUpTo;
}

struct Scratch {
    FastState fast;
    ExactState exact;
    DefaultState standard;
    std::vector<std::uint32_t> cost;

    // The finders size their own tables when a block needs them.
    void reserve(std::size_t positions) { cost.resize(positions + 1); }
};

// The cheapest of a range of positions as the parse goes backwards. With
// the longest match at each position, or at least never one that ends
// before the previous position's match does, a range's far end never moves
// away as its near end comes closer: the positions that can still be the
// cheapest are then a queue, nearest last, cheapest first.
class SlidingMin {
  public:
    explicit SlidingMin(const std::uint32_t* cost) : cost_(cost) {}
    // Adds position j, nearer than every position already in. Of equally
    // cheap positions the farthest is kept first.
    void push(std::uint32_t j) {
        while (hi_ != lo_ && cost_[at(hi_ - 1)] > cost_[j]) --hi_;
        if (hi_ - lo_ == kRing) ++lo_;  // farther than any match reaches
        ring_[hi_++ % kRing] = j;
    }
    // The cheapest position no farther than `far`, which is at least the
    // nearest position in.
    std::uint32_t cheapest(std::uint32_t far) {
        while (at(lo_) > far) ++lo_;
        return at(lo_);
    }

  private:
    static constexpr std::uint32_t kRing = 512;  // more than a match's reach
    std::uint32_t at(std::uint32_t k) const { return ring_[k % kRing]; }
    const std::uint32_t* cost_;
    std::uint32_t ring_[kRing] = {};
    std::uint32_t lo_ = 0, hi_ = 0;
};

// The cheapest parse of n positions given the longest match at each: the
// cost to the end from every position, from the end backwards, and the
// first token of that cheapest way in `step` (1: a literal; otherwise a
// match that long). Every prefix of a match is a match at the same
// distance, so the choices are a literal or any length 3..L; all lengths of
// one form cost the same, so the best of them is the cheapest position in
// a range.
//
// Of equally cheap choices the longest is taken. The way the whole input
// would be parsed then pushes any slack to its end, and a block's path,
// parsed as if its look ahead were the end, takes the same steps up to the
// block's end.
void parse_optimal(const Match* matches, std::uint32_t n, std::uint32_t* cost, std::uint16_t* step) {
    SlidingMin shorts(cost), longs(cost);
    cost[n] = 0;
    for (std::uint32_t i = n; i-- > 0;) {
        if (i + kMinMatch <= n) shorts.push(i + kMinMatch);
        if (i + kMinLong <= n) longs.push(i + kMinLong);
        std::uint32_t best = cost[i + 1] + kLiteralBits;
        std::uint32_t choice = 1;
        const std::uint32_t length = matches[i].length;
        if (length >= kMinMatch) {
            const std::uint32_t j = shorts.cheapest(i + std::min(length, kMaxShort));
            if (cost[j] + kShortBits <= best) {
                best = cost[j] + kShortBits;
                choice = j - i;
            }
            if (length >= kMinLong) {
                const std::uint32_t k = longs.cheapest(i + length);
                if (cost[k] + kLongBits <= best) {
                    best = cost[k] + kLongBits;
                    choice = k - i;
                }
            }
        }
        cost[i] = best;
        step[i] = static_cast<std::uint16_t>(choice);
    }
}

// The parse `standard` takes: as parse_optimal, but a match's lengths
// tried are only 3, the longest two of the short form, 18 and the longest.
// A path rarely gains from cutting a long match elsewhere (the next token
// starts where its own match does, and a shorter cut of the same form costs
// the same), and five lookups cost far less than keeping the cheapest of
// every range. Equally cheap choices are taken longest first, as there.
void parse_sampled(const Match* matches, std::uint32_t n, std::uint32_t* cost, std::uint16_t* step) {
    cost[n] = 0;
    std::uint32_t next = 0;  // cost[i + 1]
    for (std::uint32_t i = n; i-- > 0;) {
        const std::uint32_t length = matches[i].length;
        std::uint32_t best = next + kLiteralBits, choice = 1;
        // Shortest first, each taken when no dearer: of equally cheap
        // choices the longest stays.
        const auto consider = [&best, &choice](std::uint32_t bits, std::uint32_t to) {
            if (bits <= best) {
                best = bits;
                choice = to;
            }
        };
        if (length >= kMinMatch) {
            const std::uint32_t longest = std::min(length, kMaxShort);
            const std::uint32_t* c = cost + i;
            consider(c[kMinMatch] + kShortBits, kMinMatch);
            const std::uint32_t shorter = std::max(longest - 1, kMinMatch);
            consider(c[shorter] + kShortBits, shorter);
            consider(c[longest] + kShortBits, longest);
            if (length >= kMinLong) {
                consider(c[kMinLong] + kLongBits, kMinLong);
                consider(c[length] + kLongBits, length);
            }
        }
        cost[i] = next = best;
        step[i] = static_cast<std::uint16_t>(choice);
    }
}

// One block: data[0, start) is history, data[start, end) is coded and
// data[end, size) is a look at what follows. The optimal levels parse into
// the look ahead, so that a block's path ends where the cheapest path over
// the whole input would cross the join, not where the block happens to end;
// the next block's path then starts where this one left off.
struct Job {
    std::vector<std::uint8_t> data;
    std::size_t start = 0;
    std::size_t end = 0;
    std::size_t want = 0;  // bytes the block needs before it can be coded
    // The block's tokens, along the path from data[start].
    Tokens tokens;
    // Optimal levels: the first token of the cheapest path from each
    // position on, counted from start, for a path that enters later.
    std::vector<std::uint16_t> step;
    std::vector<Match> matches;
    std::uint32_t exit = 0;  // how far past end the path from start ends
    bool done = false;
};

void encode_block(Job& job, Level level, Scratch& s) {
    const std::uint8_t* buf = job.data.data();
    const std::size_t total = job.data.size();
    const std::size_t start = job.start, end = job.end;
    job.tokens.clear(end - start);
    job.exit = 0;
    if (!optimal(level, total)) {
        code_fast(buf, start, end, s.fast, job.tokens);
        return;
    }
    Match* matches = job.matches.data();
    const std::uint32_t n = static_cast<std::uint32_t>(total - start);
    std::uint16_t* step = job.step.data();
    if (level == Level::best || total <= kSmallUpTo) {
        find_longest(buf, start, total, s.exact, matches);
        parse_optimal(matches, n, s.cost.data(), step);
    } else {
        find_default(buf, start, total, s.standard, matches);
        parse_sampled(matches, n, s.cost.data(), step);
    }
    std::size_t p = start;
    while (p < end) {
        const std::size_t i = p - start;
        if (step[i] == 1) job.tokens.literal(buf[p]);
        else job.tokens.match(matches[i].distance, step[i]);
        p += step[i];
    }
    job.exit = static_cast<std::uint32_t>(p - end);
}

}  // namespace

struct Encoder {
    std::uint32_t expected = 0;
    std::uint64_t fed = 0;
    ByteSink sink;
    bool failed = false;
    Level level = Level::standard;
    std::size_t block_size = 0;
    std::size_t in_flight_cap = 1;

    std::unique_ptr<Job> filling;
    std::uint64_t filling_begin = 0;  // input offset of its first coded byte
    std::uint32_t entry = 0;  // where the path enters the next block to emit, from its start
    std::deque<std::unique_ptr<Job>> in_flight;  // in input order
    std::vector<std::unique_ptr<Job>> spare;
    Scratch scratch;  // when there are no workers

    // The flag group that the next token joins.
    std::uint8_t group[1 + 8 * 3] = {};
    std::size_t group_tokens = 0;
    std::size_t group_used = 1;
    std::vector<std::uint8_t> out;

    std::mutex mutex;
    std::condition_variable work_ready;
    std::condition_variable work_done;
    std::deque<Job*> todo;
    bool stopping = false;
    std::vector<std::thread> workers;

    ~Encoder() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        work_ready.notify_all();
        for (std::thread& t : workers) t.join();
    }
};

void EncoderDelete::operator()(Encoder* encoder) const noexcept { std::default_delete<Encoder>()(encoder); }

namespace {

void worker_loop(Encoder& e, std::unique_ptr<Scratch> scratch) {
    for (;;) {
        Job* job;
        {
            std::unique_lock<std::mutex> lock(e.mutex);
            e.work_ready.wait(lock, [&e] { return e.stopping || !e.todo.empty(); });
            if (e.stopping) return;
            job = e.todo.front();
            e.todo.pop_front();
        }
        encode_block(*job, e.level, *scratch);
        {
            std::lock_guard<std::mutex> lock(e.mutex);
            job->done = true;
        }
        e.work_done.notify_all();
    }
}

bool send(Encoder& e, const std::uint8_t* data, std::size_t size) {
    if (size != 0 && !e.sink(data, size)) e.failed = true;
    return !e.failed;
}

// Appends a token to the open group, closing the group when full.
void add_token(Encoder& e, bool literal, const std::uint8_t* bytes, std::uint32_t n, std::uint8_t*& w) {
    if (literal) e.group[0] |= static_cast<std::uint8_t>(0x80u >> e.group_tokens);
    std::memcpy(e.group + e.group_used, bytes, n);
    e.group_used += n;
    if (++e.group_tokens == 8) {
        std::memcpy(w, e.group, e.group_used);
        w += e.group_used;
        e.group[0] = 0;
        e.group_tokens = 0;
        e.group_used = 1;
    }
}

// Appends token i of t, whose bytes start at `at`, and moves `at` past it.
void add_to_group(Encoder& e, const Tokens& t, std::uint32_t i, std::uint32_t& at, std::uint8_t*& w) {
    const std::uint32_t n = t.size(i, at);
    add_token(e, t.is_literal(i), t.bytes.data() + at, n, w);
    at += n;
}

// Sends a coded block, its tokens joining the group left open by the block
// before. The path enters the block where the previous block's path left
// it, which need not be the block's first byte; it follows the block's
// cheapest steps from there until it meets the path the block was coded
// along, from where the coded tokens are taken whole. Paths from nearby
// starts meet within a few tokens.
bool emit(Encoder& e, const Job& job) {
    const Tokens& t = job.tokens;
    const std::size_t start = job.start, end = job.end;
    const std::size_t entry = start + e.entry;
    std::size_t p = start, q = entry;
    std::uint32_t k = 0;  // the coded token that starts at p
    std::size_t own = 0;  // tokens taken before the paths meet
    while (q < end && q != p) {
        if (p < q && p < end) {
            p += job.step[p - start];
            ++k;
        } else {
            q += job.step[q - start];
            ++own;
        }
    }
    e.out.resize(t.used + t.count / 8 + 4 * own + 2 * sizeof e.group);
    std::uint8_t* const begin = e.out.data();
    std::uint8_t* w = begin;
    for (std::size_t r = entry; own != 0; --own) {
        const std::size_t i = r - start;
        std::uint8_t bytes[3];
        if (job.step[i] == 1) add_token(e, true, &job.data[r], 1, w);
        else add_token(e, false, bytes, match_bytes(job.matches[i].distance, job.step[i], bytes), w);
        r += job.step[i];
    }
    if (q < end) {
        std::uint32_t i = 0, at = 0;
        for (; i < k; ++i) at += t.size(i, at);
        while (e.group_tokens != 0 && i < t.count) add_to_group(e, t, i++, at, w);
        for (; i + 8 <= t.count; i += 8) {
            const unsigned shift = i & 7;
            const std::uint32_t f = i >> 3;
            unsigned code = static_cast<unsigned>(t.flags[f]) << shift;
            if (shift != 0) code |= t.flags[f + 1] >> (8 - shift);
            *w++ = static_cast<std::uint8_t>(code);
            std::uint32_t n = 0;
            for (std::uint32_t j = 0; j < 8; ++j) n += t.size(i + j, at + n);
            std::memcpy(w, t.bytes.data() + at, n);
            w += n;
            at += n;
        }
        for (; i < t.count; ++i) add_to_group(e, t, i, at, w);
        e.entry = job.exit;
    } else {
        e.entry = static_cast<std::uint32_t>(q - end);
    }
    return send(e, begin, static_cast<std::size_t>(w - begin));
}

// A job with room for a block, reused when one is spare.
std::unique_ptr<Job> new_job(Encoder& e) {
    std::unique_ptr<Job> job;
    if (!e.spare.empty()) {
        job = std::move(e.spare.back());
        e.spare.pop_back();
    } else {
        job = std::make_unique<Job>();
        job->data.reserve(kWindow + e.block_size + kLookahead);
        job->tokens.reserve(e.block_size);
        if (optimal(e.level, e.block_size)) {
            job->step.resize(e.block_size + kLookahead);
            job->matches.resize(e.block_size + kLookahead);
        }
    }
    job->data.clear();
    job->done = false;
    return job;
}

// Sets where the filling block ends and how much it looks past that.
void plan_block(Encoder& e, Job& job) {
    const std::uint64_t left = e.expected - e.filling_begin;
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(e.block_size, left));
    job.end = job.start + length;
    const std::uint64_t ahead = e.level == Level::fast ? 0 : std::min<std::uint64_t>(kLookahead, left - length);
    job.want = job.end + static_cast<std::size_t>(ahead);
}

// Waits for the oldest block in flight and sends it. While it is not
// done, this thread codes blocks no worker has taken yet: it is one of the
// threads the caller asked for.
bool emit_front(Encoder& e) {
    std::unique_ptr<Job> job = std::move(e.in_flight.front());
    e.in_flight.pop_front();
    for (;;) {
        std::unique_lock<std::mutex> lock(e.mutex);
        if (job->done) break;
        if (e.todo.empty()) {
            e.work_done.wait(lock, [&job] { return job->done; });
            break;
        }
        Job* other = e.todo.front();
        e.todo.pop_front();
        lock.unlock();
        encode_block(*other, e.level, e.scratch);
        lock.lock();
        other->done = true;
    }
    const bool ok = emit(e, *job);
    e.spare.push_back(std::move(job));
    return ok;
}

// Hands the full block on (to a worker, or codes it here) and starts the
// next one with the window before it and whatever of it the look ahead
// already holds, which may be all of it at the end of the input.
bool submit(Encoder& e) {
    do {
        std::unique_ptr<Job> job = std::move(e.filling);
        e.filling_begin += job->end - job->start;
        if (e.filling_begin < e.expected) {
            e.filling = new_job(e);
            const std::size_t from = job->end - std::min<std::size_t>(kWindow, job->end);
            e.filling->data.insert(e.filling->data.end(), job->data.begin() + static_cast<std::ptrdiff_t>(from),
                                   job->data.end());
            e.filling->start = job->end - from;
            plan_block(e, *e.filling);
        }
        if (e.workers.empty()) {
            encode_block(*job, e.level, e.scratch);
            const bool ok = emit(e, *job);
            e.spare.push_back(std::move(job));
            if (!ok) return false;
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(e.mutex);
            e.todo.push_back(job.get());
        }
        e.work_ready.notify_one();
        e.in_flight.push_back(std::move(job));
        while (e.in_flight.size() > e.in_flight_cap)
            if (!emit_front(e)) return false;
    } while (e.filling && e.filling->data.size() == e.filling->want);
    return true;
}

}  // namespace

EncoderPtr encoder_begin(std::uint32_t decoded_size, const EncodeOptions& options, ByteSink sink) {
    try {
        EncoderPtr e(std::make_unique<Encoder>().release());
        e->expected = decoded_size;
        e->sink = std::move(sink);
        e->level = options.level;
        e->block_size = decoded_size >= kSplitFrom ? kBlockSize : std::max<std::size_t>(decoded_size, 1);
        const std::size_t blocks = (std::size_t{decoded_size} + e->block_size - 1) / e->block_size;
        unsigned threads = options.threads != 0 ? options.threads : std::thread::hardware_concurrency();
        threads = static_cast<unsigned>(std::min<std::size_t>(std::max(threads, 1u), blocks));
        if (decoded_size != 0) {
            e->filling = new_job(*e);
            plan_block(*e, *e->filling);
        }
        e->scratch.reserve(e->block_size + kLookahead);
        if (threads > 1) {
            // Two blocks per thread in flight keep every thread busy while
            // the oldest block is waited for; this thread is the last one.
            e->in_flight_cap = 2 * std::size_t{threads};
            for (unsigned i = 1; i < threads; ++i) {
                auto scratch = std::make_unique<Scratch>();
                scratch->reserve(e->block_size + kLookahead);
                e->workers.emplace_back(worker_loop, std::ref(*e), std::move(scratch));
            }
        }
        std::uint8_t header[kHeaderSize] = {'Y', 'a', 'z', '0'};
        header[4] = static_cast<std::uint8_t>(decoded_size >> 24);
        header[5] = static_cast<std::uint8_t>(decoded_size >> 16);
        header[6] = static_cast<std::uint8_t>(decoded_size >> 8);
        header[7] = static_cast<std::uint8_t>(decoded_size);
        send(*e, header, sizeof header);
        return e;
    } catch (const std::exception&) {  // no memory or no thread to be had
        return nullptr;
    }
}

bool encoder_feed(Encoder& e, const std::uint8_t* data, std::size_t size) {
    if (e.failed) return false;
    if (size > e.expected - e.fed) return e.failed = true, false;
    e.fed += size;
    try {
        while (size != 0) {
            Job& job = *e.filling;
            const std::size_t room = job.want - job.data.size();
            const std::size_t take = std::min(room, size);
            job.data.insert(job.data.end(), data, data + take);
            data += take;
            size -= take;
            if (take == room && !submit(e)) return false;
        }
    } catch (const std::exception&) {
        e.failed = true;
    }
    return !e.failed;
}

bool encoder_finish(Encoder& e) {
    if (e.failed || e.fed != e.expected) return false;
    while (!e.in_flight.empty())
        if (!emit_front(e)) return false;
    if (e.group_tokens != 0) {
        const bool ok = send(e, e.group, e.group_used);
        e.group_tokens = 0;
        return ok;
    }
    return true;
}

std::vector<std::uint8_t> encode(const std::uint8_t* data, std::size_t size,
                                 const EncodeOptions& options) {
    std::vector<std::uint8_t> out;
    if (size > 0xFFFFFFFFu) return out;
    EncoderPtr e = encoder_begin(static_cast<std::uint32_t>(size), options,
                                 [&out](const std::uint8_t* p, std::size_t n) {
                                     out.insert(out.end(), p, p + n);
                                     return true;
                                 });
    if (!e || !encoder_feed(*e, data, size) || !encoder_finish(*e)) out.clear();
    return out;
}

}  // namespace dravik::yaz0
