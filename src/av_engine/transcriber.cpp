#include "av_engine/transcriber.h"

#include "av_engine/pcm_stream.h"
#include "av_engine/speech_segmenter.h"
#include "av_engine/unicode_text.h"
#include "base/ascii.h"
#include "base/cancellation.h"
#include "base/system_limits.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <exception>
#include <map>
#include <optional>
#include <thread>

namespace morvale {

namespace {

// The recogniser reports 100 frames a second.
constexpr double kFramesPerSecond = 100.0;
// Samples handed to the recogniser between stop checks: half a second of audio, about a tenth of work.
constexpr std::size_t kFeedSamples = 8000;
// Longest time written; keeps the millisecond count and the hour field far from overflow.
constexpr double kMaxSeconds = 1.0e9;

std::string errorMessage(Transcriber::TranscriberError::Kind kind, const std::string& language) {
    switch (kind) {
    case Transcriber::TranscriberError::Kind::unsupportedLanguage:
        return "On-device transcription doesn't support the language " + language + ".";
    case Transcriber::TranscriberError::Kind::unsupportedSystem:
        return "Transcripts need the English speech model (pocketsphinx-en-us).";
    case Transcriber::TranscriberError::Kind::nothingRecognised:
        return "No speech was recognised.";
    }
    return "No speech was recognised.";
}

bool endsSentence(std::string_view text) {
    return !text.empty() && (text.back() == '.' || text.back() == '?' || text.back() == '!');
}

double finiteTime(double seconds) { return std::isfinite(seconds) ? std::clamp(seconds, 0.0, kMaxSeconds) : 0.0; }

// The recogniser's own tokens (silence, sentence marks, noises) are not words; "word(2)" names the
// second pronunciation of "word".
std::optional<std::string> spokenWord(std::string_view token) {
    if (token.empty() || token == "<s>" || token == "</s>" || token == "<sil>") return std::nullopt;
    if (token.front() == '[' || token.front() == '+' || token.front() == '<') return std::nullopt;
    if (token.back() == ')') {
        const std::size_t open = token.rfind('(');
        if (open != std::string_view::npos && open > 0 &&
            std::all_of(token.begin() + static_cast<std::ptrdiff_t>(open) + 1, token.end() - 1, ascii::isDigit)) {
            token = token.substr(0, open);
        }
    }
    return std::string(token);
}

// Segments waiting for a decoder. The reader blocks when it is full, so a slow decoder holds the reader
// back instead of letting audio pile up.
class SegmentQueue {
public:
    explicit SegmentQueue(std::size_t capacity) : capacity_(capacity) {}

    // False when the queue was stopped.
    bool push(std::size_t index, SpeechSegmenter::Segment&& segment, std::stop_token stop) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait(lock, stop, [&] { return items_.size() < capacity_ || stopped_; }) || stopped_) return false;
        items_.emplace_back(index, std::move(segment));
        changed_.notify_all();
        return true;
    }
    // Nothing once closed and drained, or when stopped.
    std::optional<std::pair<std::size_t, SpeechSegmenter::Segment>> pop(std::stop_token stop) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait(lock, stop, [&] { return !items_.empty() || closed_ || stopped_; }) || stopped_ || items_.empty()) {
            return std::nullopt;
        }
        auto item = std::move(items_.front());
        items_.pop_front();
        changed_.notify_all();
        return item;
    }
    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }
    void stop() {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }

private:
    std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<std::pair<std::size_t, SpeechSegmenter::Segment>> items_;
    bool closed_ = false;
    bool stopped_ = false;
};

}  // namespace

// ---- Decoder pool

class DecoderPool::Decoder {
public:
    explicit Decoder(const std::filesystem::path& modelFolder) : modelFolder_(modelFolder) {
        const std::string hmm = (modelFolder / "en-us").string();
        const std::string lm = (modelFolder / "en-us.lm.bin").string();
        const std::string dict = (modelFolder / "cmudict-en-us.dict").string();
        // No "-logfn": the recogniser's log is switched off once for the process instead, because naming a
        // log file makes every decoder reopen (and close) one log stream that running decoders write to.
        // Speed settings chosen on real read speech (the recogniser's own test recordings): at most 3000
        // active HMMs and 5 word exits a frame and no second flat-lexicon pass take half the processor time
        // of the defaults and get as many words right. Scoring Gaussians only every second frame would save
        // a little more but loses a third of the words of cleanly synthesised speech.
        cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm", lm.c_str(), "-dict",
                                       dict.c_str(), "-remove_silence", "no", "-maxhmmpf", "3000", "-maxwpf", "5",
                                       "-fwdflat", "no", nullptr);
        if (config == nullptr) throw std::runtime_error("Could not configure the speech recogniser.");
        decoder_ = ps_init(config);
        cmd_ln_free_r(config);
        if (decoder_ == nullptr) throw std::runtime_error("Could not load the English speech model.");
    }
    ~Decoder() { ps_free(decoder_); }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    const std::filesystem::path& modelFolder() const { return modelFolder_; }

    // The words of one segment, times in seconds from the segment's start.
    std::vector<CaptionWord> decode(const std::vector<std::int16_t>& samples, double offset, const std::stop_token& stop) {
        if (ps_start_utt(decoder_) < 0) throw std::runtime_error("The speech recogniser did not start.");
        // Segment frames count on across the utterances this decoder has heard. The utterance's opening
        // "<s>" marks where this one starts; the frame counts of earlier utterances overstate it by a few
        // frames, so they only stand in when the mark is missing.
        int base = framesBefore_;
        auto end = [&] {
            ps_end_utt(decoder_);
            framesBefore_ += ps_get_n_frames(decoder_);
        };
        for (std::size_t at = 0; at < samples.size(); at += kFeedSamples) {
            if (stop.stop_requested()) {
                end();
                throw OperationCancelled();
            }
            const std::size_t n = std::min(kFeedSamples, samples.size() - at);
            ps_process_raw(decoder_, samples.data() + at, n, FALSE, FALSE);
        }
        end();
        std::vector<CaptionWord> words;
        bool opening = true;
        for (ps_seg_t* seg = ps_seg_iter(decoder_); seg != nullptr; seg = ps_seg_next(seg), opening = false) {
            const char* token = ps_seg_word(seg);
            int first = 0;
            int last = 0;
            ps_seg_frames(seg, &first, &last);
            if (opening && token != nullptr && std::string_view(token) == "<s>") base = first;
            std::optional<std::string> word = spokenWord(token != nullptr ? token : "");
            if (!word) continue;
            words.push_back({std::move(*word), offset + (first - base) / kFramesPerSecond,
                             offset + (last + 1 - base) / kFramesPerSecond});
        }
        return words;
    }

private:
    std::filesystem::path modelFolder_;
    ps_decoder_t* decoder_ = nullptr;
    int framesBefore_ = 0;
};

DecoderPool::Lease::Lease(DecoderPool& pool, std::unique_ptr<Decoder> decoder) : pool_(&pool), decoder_(std::move(decoder)) {}
DecoderPool::Lease::Lease(Lease&& other) noexcept : pool_(other.pool_), decoder_(std::move(other.decoder_)) {}
DecoderPool::Lease::~Lease() {
    if (decoder_) pool_->giveBack(std::move(decoder_));
}

DecoderPool::DecoderPool(std::size_t capacity)
    : capacity_(capacity > 0 ? capacity : static_cast<std::size_t>(allowedProcessorCount())) {
    static std::once_flag quiet;
    std::call_once(quiet, [] { err_set_logfp(nullptr); });
}

DecoderPool::~DecoderPool() = default;

DecoderPool::Lease DecoderPool::acquire(const std::filesystem::path& modelFolder, std::stop_token stop) {
    std::unique_ptr<Decoder> decoder;
    {
        std::unique_lock lock(mutex_);
        if (!freed_.wait(lock, stop, [&] { return inUse_ < capacity_; })) throw OperationCancelled();
        ++inUse_;
        const auto idle = std::find_if(idle_.begin(), idle_.end(), [&](const auto& d) { return d->modelFolder() == modelFolder; });
        if (idle != idle_.end()) {
            decoder = std::move(*idle);
            idle_.erase(idle);
        } else if (idle_.size() + inUse_ > capacity_) {
            idle_.erase(idle_.begin());  // a decoder of another model makes room
        }
    }
    if (!decoder) {
        try {
            decoder = std::make_unique<Decoder>(modelFolder);
        } catch (...) {
            std::lock_guard lock(mutex_);
            --inUse_;
            freed_.notify_one();
            throw;
        }
    }
    return Lease(*this, std::move(decoder));
}

void DecoderPool::giveBack(std::unique_ptr<Decoder> decoder) {
    std::lock_guard lock(mutex_);
    idle_.push_back(std::move(decoder));
    --inUse_;
    freed_.notify_one();
}

// ---- Transcriber

Transcriber::TranscriberError::TranscriberError(Kind kind, const std::string& language)
    : std::runtime_error(errorMessage(kind, language)), kind_(kind) {}

std::filesystem::path Transcriber::defaultModelFolder() { return "/usr/share/pocketsphinx/model/en-us"; }

Transcriber::Transcriber() : Transcriber(Options{}) {}

Transcriber::Transcriber(Options options) : options_(std::move(options)) {
    options_.decodersPerFile = std::max<std::size_t>(1, options_.decodersPerFile);
    if (!options_.pool) options_.pool = std::make_shared<DecoderPool>(options_.decodersPerFile);
}

bool Transcriber::isSupported(const std::filesystem::path& modelFolder) {
    std::error_code ec;
    return std::filesystem::is_regular_file(modelFolder / "en-us" / "mdef", ec) &&
           std::filesystem::is_regular_file(modelFolder / "en-us.lm.bin", ec) &&
           std::filesystem::is_regular_file(modelFolder / "cmudict-en-us.dict", ec);
}

bool Transcriber::supportsLanguage(std::string_view identifier) {
    if (identifier.empty() || identifier == "C" || identifier == "POSIX" || identifier.starts_with("C.")) return true;
    if (identifier.size() < 2 || !ascii::equalsIgnoringCase(identifier.substr(0, 2), "en")) return false;
    return identifier.size() == 2 || identifier[2] == '-' || identifier[2] == '_' || identifier[2] == '.';
}

std::vector<CaptionWord> Transcriber::transcribe(const std::filesystem::path& file, const std::string& localeIdentifier,
                                                 const ProgressSink& progress, const LogSink& log,
                                                 std::stop_token stop) const {
    if (!isSupported(options_.modelFolder)) throw TranscriberError(TranscriberError::Kind::unsupportedSystem);
    if (!supportsLanguage(localeIdentifier)) {
        throw TranscriberError(TranscriberError::Kind::unsupportedLanguage, localeIdentifier);
    }
    throwIfStopRequested(stop);
    const double duration = PCMStream::format(file, log).durationSeconds;

    // Decoders stop on the caller's token or on a failure anywhere in the run.
    std::stop_source halt;
    std::stop_callback forward(stop, [&] { halt.request_stop(); });
    const std::size_t workers = std::min(options_.decodersPerFile, options_.pool->capacity());
    // Segment i always goes to decoder i mod workers: the recogniser's feature normalisation carries over
    // from one segment to the next in a decoder, so handing segments to whichever decoder is free would
    // make the transcript depend on thread timing. Each queue holds two, so the reader runs ahead a little.
    std::vector<std::unique_ptr<SegmentQueue>> queues;
    for (std::size_t w = 0; w < workers; ++w) queues.push_back(std::make_unique<SegmentQueue>(2));
    const auto forEachQueue = [&](auto&& f) {
        for (auto& q : queues) f(*q);
    };
    std::mutex resultsMutex;
    std::map<std::size_t, std::vector<CaptionWord>> results;
    std::exception_ptr failure;
    auto fail = [&](std::exception_ptr error) {
        {
            std::lock_guard lock(resultsMutex);
            if (!failure) failure = std::move(error);
        }
        halt.request_stop();
        forEachQueue([](SegmentQueue& q) { q.stop(); });
    };

    std::vector<std::jthread> threads;
    threads.reserve(workers);
    for (std::size_t w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            try {
                std::optional<DecoderPool::Lease> lease;
                while (auto item = queues[w]->pop(halt.get_token())) {
                    auto& [index, segment] = *item;
                    std::vector<CaptionWord> words;
                    if (segment.hasSpeech) {
                        if (!lease) lease.emplace(options_.pool->acquire(options_.modelFolder, halt.get_token()));
                        words = lease->decoder().decode(segment.samples,
                                                        static_cast<double>(segment.firstSample) / SpeechSegmenter::sampleRate,
                                                        halt.get_token());
                    }
                    std::lock_guard lock(resultsMutex);
                    results.emplace(index, std::move(words));
                }
            } catch (...) {
                fail(std::current_exception());
            }
        });
    }

    std::size_t segments = 0;
    try {
        SpeechSegmenter segmenter(options_.maxSegmentSeconds);
        const SpeechSegmenter::Emit emit = [&](SpeechSegmenter::Segment&& segment) {
            const double reached = static_cast<double>(segment.firstSample + static_cast<std::int64_t>(segment.samples.size())) /
                                   SpeechSegmenter::sampleRate;
            const std::size_t index = segments++;
            if (!queues[index % workers]->push(index, std::move(segment), halt.get_token())) throw OperationCancelled();
            if (progress && duration > 0.0) progress(std::min(0.99, reached / duration), "Transcribing...");
        };
        PCMStream::read(file, SpeechSegmenter::sampleRate, 1, std::nullopt,
                        [&](std::span<const float> samples, std::int64_t) {
                            if (halt.stop_requested()) throw OperationCancelled();
                            segmenter.push(samples, emit);
                        },
                        log);
        segmenter.finish(emit);
        forEachQueue([](SegmentQueue& q) { q.close(); });
    } catch (...) {
        fail(std::current_exception());
    }
    for (auto& t : threads) t.join();

    if (stop.stop_requested()) throw OperationCancelled();
    if (failure) std::rethrow_exception(failure);

    std::vector<CaptionWord> words;
    for (auto& [index, segmentWords] : results) {
        for (auto& w : segmentWords) words.push_back(std::move(w));
    }
    if (words.empty()) throw TranscriberError(TranscriberError::Kind::nothingRecognised);
    if (progress) progress(1.0, "Transcribing...");
    return words;
}

std::vector<CaptionWord> Transcriber::splitMultiWordRuns(const std::vector<CaptionWord>& words) {
    std::vector<CaptionWord> out;
    out.reserve(words.size());
    for (const CaptionWord& word : words) {
        std::vector<std::string_view> parts;
        std::string_view rest = word.text;
        while (!rest.empty()) {
            const std::size_t space = rest.find(' ');
            const std::string_view part = rest.substr(0, space);
            if (!part.empty()) parts.push_back(part);
            if (space == std::string_view::npos) break;
            rest.remove_prefix(space + 1);
        }
        if (parts.size() < 2) {
            out.push_back(word);
            continue;
        }
        const double share = (word.end - word.start) / static_cast<double>(parts.size());
        for (std::size_t i = 0; i < parts.size(); ++i) {
            out.push_back({std::string(parts[i]), word.start + static_cast<double>(i) * share,
                           word.start + static_cast<double>(i + 1) * share});
        }
    }
    return out;
}

std::vector<CaptionCue> Transcriber::cues(const std::vector<CaptionWord>& words, int maxCharacters, double maxDuration) {
    std::vector<CaptionCue> out;
    CaptionCue open;
    std::size_t openLength = 0;  // sum over the open words of (characters + 1)
    for (const CaptionWord& w : words) {
        const std::size_t characters = unicode_text::characterCount(w.text);
        if (!open.words.empty()) {
            const std::size_t length = openLength + characters;
            const double span = w.end - open.words.front().start;
            const double gap = w.start - open.words.back().end;
            const bool sentenceEnd = endsSentence(open.words.back().text) && open.words.size() >= 2;
            if (length > static_cast<std::size_t>(std::max(0, maxCharacters)) || span > maxDuration || gap > 0.8 || sentenceEnd) {
                out.push_back(std::move(open));
                open = CaptionCue{};
                openLength = 0;
            }
        }
        open.words.push_back(w);
        openLength += characters + 1;
    }
    if (!open.words.empty()) out.push_back(std::move(open));
    return out;
}

std::string Transcriber::timestamp(double seconds, char separator) {
    const auto ms = static_cast<long long>(std::round(finiteTime(seconds) * 1000.0));
    char text[48];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld%c%03lld", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                  separator, ms % 1000);
    return text;
}

namespace {

// Start and end of each cue as written: a short cue is held for 0.3 s, but never past the next cue's start.
std::pair<double, double> shownSpan(const std::vector<CaptionCue>& cues, std::size_t i) {
    const double start = cues[i].start();
    double end = std::max(cues[i].end(), start + 0.3);
    if (i + 1 < cues.size()) end = std::max(start, std::min(end, cues[i + 1].start()));
    return {start, end};
}

}  // namespace

std::string Transcriber::srt(const std::vector<CaptionCue>& cues, double offset) {
    std::string out;
    for (std::size_t i = 0; i < cues.size(); ++i) {
        const auto [start, end] = shownSpan(cues, i);
        if (i > 0) out += '\n';
        out += std::to_string(i + 1) + "\n" + timestamp(start + offset, ',') + " --> " + timestamp(end + offset, ',') + "\n" +
               cues[i].text() + "\n";
    }
    return out;
}

std::string Transcriber::vtt(const std::vector<CaptionCue>& cues, double offset) {
    std::string out = "WEBVTT\n\n";
    for (std::size_t i = 0; i < cues.size(); ++i) {
        const auto [start, end] = shownSpan(cues, i);
        if (i > 0) out += '\n';
        out += timestamp(start + offset, '.') + " --> " + timestamp(end + offset, '.') + "\n" + cues[i].text() + "\n";
    }
    return out;
}

std::string Transcriber::plainText(const std::vector<CaptionWord>& words, double offset) {
    std::vector<std::string> paragraphs;
    std::vector<std::string_view> current;
    double paragraphStart = words.empty() ? 0.0 : words.front().start;
    double previousEnd = paragraphStart;
    auto close = [&] {
        const auto whole = static_cast<long long>(finiteTime(paragraphStart + offset));
        char marker[48];
        std::snprintf(marker, sizeof marker, "[%02lld:%02lld] ", whole / 60, whole % 60);
        std::string paragraph = marker;
        for (std::size_t i = 0; i < current.size(); ++i) {
            if (i > 0) paragraph += ' ';
            paragraph += current[i];
        }
        paragraphs.push_back(std::move(paragraph));
        current.clear();
    };
    for (const CaptionWord& w : words) {
        if (!current.empty()) {
            const double gap = w.start - previousEnd;
            if (gap > 1.5 || (endsSentence(current.back()) && current.size() > 80)) {
                close();
                paragraphStart = w.start;
            }
        }
        current.push_back(w.text);
        previousEnd = w.end;
    }
    if (!current.empty()) close();
    std::string out;
    for (std::size_t i = 0; i < paragraphs.size(); ++i) {
        if (i > 0) out += "\n\n";
        out += paragraphs[i];
    }
    return out + "\n";
}

}  // namespace morvale
