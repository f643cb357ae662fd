// The podcast export: one recording in, every requested distribution file out. Audio travels from
// stage to stage as WAV files in the export's own scratch folder; the run itself holds only file
// names, the word list and small measurement records.
//
// The distribution stages (MP3 or M4A master, 16 kHz reference, audiogram) each start on their own
// thread as soon as the audio they read is final, often before the transcript is made, and are joined
// in stage order: outputs, log lines, progress and the error reported read as if every stage had run
// one after the other. When the clean-up render is the programme itself, the MP3 encode is fed while
// the render is made.

#include "av_engine/audio_video_pipeline.h"
#include "av_engine/chapter_builder.h"
#include "av_engine/clip_picker.h"
#include "av_engine/export_memory.h"
#include "av_engine/filler_remover.h"
#include "av_engine/pcm_stream.h"
#include "av_engine/scratch_folder.h"
#include "av_engine/side_stage.h"
#include "av_engine/streamed_encode.h"
#include "av_engine/transcriber.h"
#include "av_engine/wav_writer.h"
#include "base/atomic_file_writer.h"
#include "base/c_format.h"
#include "base/cancellation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>
#include <utility>

namespace morvale {

namespace fs = std::filesystem;

namespace {

// Copies `source` to `destination` through a temporary file beside it, so a failed or stopped copy
// keeps the file that was there before.
void copyAtomically(const fs::path& source, const fs::path& destination, std::stop_token stop) {
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw fs::filesystem_error("Cannot read", source, std::error_code(errno, std::generic_category()));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{in};
    AtomicFileWriter out(destination);
    std::string buffer(std::size_t{4} << 20, '\0');
    for (;;) {
        // 4 MB is a few milliseconds of disk work: the stop check stays far inside 100 ms.
        throwIfStopRequested(stop);
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            throw fs::filesystem_error("Cannot read", source, std::error_code(errno, std::generic_category()));
        }
        if (got == 0) break;
        out.write(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
    }
    out.commit();
}

std::string capitalised(std::string word) {
    if (!word.empty() && word[0] >= 'a' && word[0] <= 'z') word[0] = static_cast<char>(word[0] - 'a' + 'A');
    return word;
}

}  // namespace

// One run of processMultiFormat: the working values handed from stage to stage.
class AudioVideoPipeline::Export {
public:
    Export(const AudioVideoPipeline& pipeline, const MultiFormatExportRequest& request, const ProgressSink& onProgress,
           const LogSink& onLog, std::stop_token stop)
        : pipeline_(pipeline), request_(request), onProgress_(onProgress), onLog_(onLog), stop_(std::move(stop)) {}

    std::vector<fs::path> run() {
        try {
            return runStages();
        } catch (const OperationCancelled&) {
            // A stopped export leaves no half set (a master without its MP3): what it already wrote goes.
            for (const fs::path& written : outputs_) {
                std::error_code ignored;
                fs::remove(written, ignored);
            }
            throw;
        } catch (...) {
            // What a failed export wrote before the failing stage stays, each file whole; the item
            // reports no outputs, so the log names them.
            for (const fs::path& written : outputs_) {
                std::error_code ignored;
                if (fs::exists(written, ignored)) log("kept " + written.string());
            }
            throw;
        }
    }

private:
    std::vector<fs::path> runStages() {
        prepareDestination();
        const fs::path scratchBase = ScratchFolder::defaultBase();
        // What a killed export left (the episode's copies can be gigabytes) goes before we add ours.
        ScratchFolder::removeAbandoned(scratchBase, onLog_);
        const ScratchFolder scratch(scratchBase);
        scratch_ = &scratch;
        try {
            checkMusic();
            // Without filler cuts or music the clean episode is already the programme.
            const bool programmeIsEpisode = !request_.removeFillers && !request_.introURL && !request_.outroURL;
            measureAndClean(programmeIsEpisode);
            if (programmeIsEpisode) startDistribution();
            if (!request_.removeFillers && !audiogramUsesWords()) startAudiogram();
            transcribe();
            dumpWords();
            removeFillers();
            startAudiogram();
            addMusic();
            startDistribution();
            writeMaster();
            checkACX();
            handOver();
            writeChapters();
            finishDistributionMaster();
            finishReference();
            writeTranscripts();
            finishAudiogram();
            progress(1.0, "Export complete.");
        } catch (...) {
            // Before the scratch folder goes: the side stages may still be reading or writing in it.
            for (auto* stage : {&distribution_, &reference_, &audiogram_}) {
                if (*stage) (*stage)->abandon();
            }
            throw;
        }
        return std::move(outputs_);
    }

    // ---- Frame

    void progress(double fraction, const std::string& message) const {
        throwIfStopRequested(stop_);
        if (onProgress_) onProgress_(fraction, message);
    }
    void log(const std::string& line) const {
        if (onLog_) onLog_(line);
    }
    fs::path scratch(std::string_view name) const { return *scratch_ / name; }
    // What decoding says about an input (damaged, or shorter than its header), once per line however
    // many passes read the file; the normaliser's own lines stay out, the stage's summary says it all.
    LogSink inputWarnings() {
        return [this](const std::string& line) {
            if (!line.starts_with("Warning: ")) return;
            const std::lock_guard lock(warnedMutex_);
            if (warned_.insert(line).second) log(line);
        };
    }
    fs::path destination(std::string_view suffix) const {
        return request_.destinationDirectory / (request_.baseFileName + std::string(suffix));
    }
    void writeText(const fs::path& file, const std::string& text) {
        throwIfStopRequested(stop_);
        AtomicFileWriter::writeFile(file, text);
    }
    void writeOutput(std::string_view suffix, const std::string& text) {
        const fs::path file = destination(suffix);
        writeText(file, text);
        outputs_.push_back(file);
    }

    // ---- Stage 1: preparation

    void prepareDestination() {
        std::error_code ec;
        fs::create_directories(request_.destinationDirectory, ec);
        if (ec) throw fs::filesystem_error("Cannot create the output folder", request_.destinationDirectory, ec);
    }

    // Intro and outro are read only after the long stages; one that cannot be read (a FIFO, a damaged
    // header) fails the export now instead. A missing one is only logged, later.
    void checkMusic() const {
        for (const auto* url : {&request_.introURL, &request_.outroURL}) {
            std::error_code ec;
            if (*url && fs::exists(**url, ec)) PCMStream::format(**url, {}, stop_);
        }
    }

    // ---- Stage 2: loudness and clean-up

    void measureAndClean(bool programmeIsEpisode) {
        const bool plain = request_.cleanup == CleanupOptions::none();
        progress(0.05, plain ? "Measuring loudness (ITU-R BS.1770)..." : "Analysing and cleaning up audio...");
        episodeFile_ = scratch("episode.wav");
        const MemoryBudget::Reservation memory =
            pipeline_.memory_.reserve(ExportMemory::decoding(request_.sourceURL, stop_), stop_);
        std::unique_ptr<StreamedEncode> stream;
        if (programmeIsEpisode && request_.generateRSSMaster && pipeline_.ffmpeg_.isFFmpegAvailable()) {
            stream = std::make_unique<StreamedEncode>(
                pipeline_.ffmpeg_, scratch("render.pcm"),
                [this](double sampleRate) { return mp3Arguments(sampleRate); },
                encodeTimeLimit(PCMStream::format(request_.sourceURL).durationSeconds), stop_);
        }
        // The normaliser's own progress lines stay out of the log: the summary below says it all.
        result_ = stream ? pipeline_.loudness_->processFollowed(request_.sourceURL, episodeFile_, request_.targetLUFS,
                                                                request_.cleanup, inputWarnings(), stop_, *stream)
                         : pipeline_.loudness_->process(request_.sourceURL, episodeFile_, request_.targetLUFS,
                                                        request_.cleanup, inputWarnings(), stop_);
        working_ = speech_ = episodeFile_;
        if (stream) {
            distribution_ = stream->finish();
            mp3_ = true;
        }

        const std::string name = request_.sourceURL.filename().string();
        if (request_.targetLUFS.acx) {
            log(name + cformat(": RMS %.1f dB -> %.1f dB, peak %.1f dB, noise floor %.1f dB", result_.input.rmsDB,
                              result_.output.rmsDB, result_.output.samplePeakDB, result_.output.noiseFloorDB));
        } else {
            const std::string limiter =
                result_.limiterReductionDB < -0.1 ? cformat(", limiter %.1f dB", result_.limiterReductionDB) : "";
            log(name + cformat(": %.1f LUFS -> %.1f LUFS (gain %+.1f dB, true peak %.1f dBTP", result_.input.integratedLUFS,
                              result_.output.integratedLUFS, result_.gainDB, result_.output.truePeakDBTP) +
                limiter + ")");
        }

        std::vector<std::string> items;
        if (request_.cleanup.rumbleFilter) items.emplace_back("rumble filter");
        if (result_.humRemovedHz && std::isfinite(*result_.humRemovedHz)) {
            items.push_back(std::to_string(static_cast<long long>(std::trunc(*result_.humRemovedHz))) + " Hz hum removed");
        }
        if (request_.cleanup.noiseGate) items.emplace_back("noise gate");
        if (result_.levelerRangeDB) {
            items.push_back(cformat("leveler %+.1f to %+.1f dB", result_.levelerRangeDB->first, result_.levelerRangeDB->second));
        }
        if (result_.secondsRemoved >= 0.1) items.push_back(cformat("%.1f s of silence cut", result_.secondsRemoved));
        if (!items.empty()) log("Clean-up: " + join(items, ", "));
    }

    // ---- Stage 3: transcription

    bool audiogramUsesWords() const {
        return needsTranscript() &&
               (request_.captionAudiogram || request_.audiogramClip.kind() == ClipChoice::Kind::automatic);
    }

    bool needsTranscript() const {
        using Clip = ClipChoice::Kind;
        return request_.generateTranscripts || request_.removeFillers ||
               request_.chapters.kind() == ChapterSetting::Kind::automatic ||
               (request_.generateAudiogram &&
                (request_.captionAudiogram || request_.audiogramClip.kind() == Clip::automatic));
    }

    void transcribe() {
        if (!needsTranscript()) return;
        if (!pipeline_.transcribes()) {
            log("Transcript skipped: on-device transcription needs the English speech model (pocketsphinx-en-us).");
            return;
        }
        progress(0.25, "Transcribing on this computer...");
        try {
            const MemoryBudget::Reservation memory = pipeline_.memory_.reserve(
                pipeline_.recogniser_->workingMemory(ExportMemory::seconds(working_, stop_)), stop_);
            words_ = pipeline_.recogniser_->transcribe(working_, request_.transcriptLocale, onLog_, stop_);
        } catch (const OperationCancelled&) {
            throw;
        } catch (const std::exception& error) {
            words_.clear();
            log(std::string("Transcript skipped: ") + error.what());
        }
    }

    // ---- Stage 4: debug word dump

    void dumpWords() const {
        if (std::getenv("ORBISK_DEBUG_WORDS") == nullptr) return;
        std::string line = "Words: ";
        for (std::size_t i = 0; i < words_.size(); ++i) {
            if (i > 0) line += ' ';
            line += words_[i].text + cformat("[%.2f-%.2f]", words_[i].start, words_[i].end);
        }
        log(line);
    }

    // ---- Stage 5: filler words

    void removeFillers() {
        if (!request_.removeFillers || words_.empty()) return;
        const auto frames = pipeline_.normalizer_.speechFrames(working_, {}, stop_);
        const auto hidden = FillerRemover::hiddenFillerCuts(words_, frames);
        FillerRemover::Plan plan = FillerRemover::plan(words_, true, hidden);
        if (plan.cuts.empty()) {
            log("Filler words: none found");
            return;
        }
        progress(0.32, "Removing filler words...");
        const fs::path clean = scratch("episode_clean.wav");
        pipeline_.normalizer_.cut(working_, clean, plan.cuts, {}, stop_);
        working_ = speech_ = clean;
        words_ = std::move(plan.words);

        std::vector<std::pair<std::string, int>> kinds(plan.removed.begin(), plan.removed.end());
        std::stable_sort(kinds.begin(), kinds.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
        std::vector<std::string> parts;
        for (const auto& [kind, count] : kinds) parts.push_back(std::to_string(count) + " x " + kind);
        double seconds = 0;
        for (const TimeRange& cut : plan.cuts) seconds += cut.upper - cut.lower;
        log(cformat("Filler words: removed %d (", plan.count()) + join(parts, ", ") + cformat("), %.1f s shorter", seconds));
    }

    // ---- Stage 6: intro and outro music

    void addMusic() {
        if (!request_.introURL && !request_.outroURL) return;
        progress(0.3, "Adding intro / outro music...");
        const PCMStream::Format joining = PCMStream::format(working_);
        const LoudnessNormalizer::LoudnessTarget musicTarget{
            request_.targetLUFS.acx ? -20.0 : request_.targetLUFS.integratedLUFS, request_.targetLUFS.truePeakDB,
            request_.targetLUFS.loudnessRangeLU, false};
        std::vector<fs::path> parts;
        const std::array<std::pair<std::string, const std::optional<fs::path>*>, 2> pieces{
            {{"intro", &request_.introURL}, {"outro", &request_.outroURL}}};
        for (const auto& [name, url] : pieces) {
            if (!*url) continue;
            std::error_code ec;
            if (!fs::exists(**url, ec)) {
                log(capitalised(name) + " music not found: " + (*url)->string());
                continue;
            }
            const fs::path processed = scratch(name + ".wav");
            const MemoryBudget::Reservation memory =
                pipeline_.memory_.reserve(ExportMemory::decoding(**url, stop_), stop_);
            pipeline_.loudness_->process(**url, processed, musicTarget, CleanupOptions::none(), inputWarnings(), stop_);
            if (name == "intro") {
                parts.push_back(processed);
                introLength_ = PCMStream::format(processed).durationSeconds;
            } else {
                parts.push_back(working_);
                parts.push_back(processed);
                outroAdded_ = true;
            }
        }
        if (std::find(parts.begin(), parts.end(), working_) == parts.end()) parts.push_back(working_);
        if (parts.size() >= 2) {
            const fs::path joined = scratch("final.wav");
            pipeline_.normalizer_.concatenate(parts, joined, joining.sampleRate, joining.channels, {}, stop_);
            working_ = joined;
        }
    }

    // ---- Stage 7: master

    void writeMaster() {
        if (!request_.generateMaster) return;
        const fs::path master = destination(masterSuffix(request_.targetLUFS));
        // Through a temporary file beside it: a failed copy keeps the earlier master.
        copyAtomically(working_, master, stop_);
        outputs_.push_back(master);
    }

    // ---- Stage 8: ACX report

    void checkACX() {
        if (!result_.acxReport) return;
        LoudnessNormalizer::ACXReport report = *result_.acxReport;
        // Filler cuts and music change what is delivered: the report describes the master as written.
        if (working_ != episodeFile_) {
            const auto m = pipeline_.normalizer_.measure(working_, {}, stop_);
            report = LoudnessNormalizer::ACXReport{m.rmsDB, m.truePeakDBTP, m.noiseFloorDB, m.sampleRate};
        }
        const std::string name = request_.baseFileName + "_ACX_Check.txt";
        writeOutput("_ACX_Check.txt", report.text());
        log(report.passes() ? "ACX check: passes" : "ACX check: does not pass yet, see " + name);
    }

    // ---- Hand-over to the distribution stages

    void handOver() {
        programmeLength_ = PCMStream::format(working_).durationSeconds;
        episodeLength_ = PCMStream::format(speech_).durationSeconds;
    }

    double intro() const { return introLength_.value_or(0.0); }

    // ---- Stage 9: chapters

    void writeChapters() {
        std::vector<Chapter> chapters;
        switch (request_.chapters.kind()) {
        case ChapterSetting::Kind::off: return;
        case ChapterSetting::Kind::manual:
            chapters = ChapterBuilder::tidy(ChapterBuilder::parse(request_.chapters.list()), programmeLength_);
            if (chapters.empty()) {
                log("Chapters skipped: couldn't read the chapter list (use lines like \"5:30 Interview\")");
            }
            break;
        case ChapterSetting::Kind::automatic:
            if (words_.empty()) {
                log("Chapters skipped: automatic chapters need the transcript");
                return;
            }
            chapters = ChapterBuilder::automatic(words_, episodeLength_);
            for (Chapter& c : chapters) c.start += intro();
            if (intro() > 0) {
                if (!chapters.empty()) chapters.front().start = intro();
                chapters.insert(chapters.begin(), Chapter{0.0, "Intro"});
            }
            if (outroAdded_) chapters.push_back(Chapter{episodeLength_ + intro(), "Outro"});
            chapters = ChapterBuilder::tidy(std::move(chapters), programmeLength_);
            break;
        }
        if (chapters.empty()) return;

        writeOutput("_Chapters.json", ChapterBuilder::json(chapters));
        writeOutput("_Chapters.txt", ChapterBuilder::text(chapters));
        chaptersFile_ = scratch("chapters.ffmeta");
        writeText(*chaptersFile_, ChapterBuilder::ffmetadata(chapters, programmeLength_));

        std::vector<std::string> titles;
        for (std::size_t i = 0; i < chapters.size() && i < 4; ++i) titles.push_back(chapters[i].title);
        log("Chapters: " + std::to_string(chapters.size()) + " (" + join(titles, " · ") +
            (chapters.size() >= 5 ? " …" : "") + ")");
    }

    // ---- Stages 10 and 11, started once the programme audio is final

    void startDistribution() {
        if (distributionStarted_) return;
        distributionStarted_ = true;
        handOver();
        if (request_.generateRSSMaster && !distribution_) {
            if (pipeline_.ffmpeg_.isFFmpegAvailable()) {
                mp3_ = true;
                std::vector<std::string> arguments{"-y", "-i", FFmpegRunner::pathArgument(working_)};
                const auto output = mp3Arguments(PCMStream::format(working_).sampleRate);
                arguments.insert(arguments.end(), output.begin(), output.end());
                const auto limit = encodeTimeLimit(programmeLength_);
                distribution_ = std::make_unique<SideStage>(stop_, [this, arguments, limit](std::stop_token stop, const LogSink&) {
                    pipeline_.ffmpeg_.execute(arguments, limit, {}, stop);
                    return std::optional<fs::path>();
                });
            } else {
                distribution_ = std::make_unique<SideStage>(
                    stop_, [this, source = working_, m4a = destination("_RSS.m4a")](std::stop_token stop, const LogSink& held) {
                        pipeline_.tagInjector_.inject(request_.metadata, source, m4a, std::nullopt, held, stop);
                        return std::optional<fs::path>(m4a);
                    });
            }
        }
        if (request_.generateWhisperReference) {
            reference_ = std::make_unique<SideStage>(stop_, [source = working_, file = destination("_WhisperRef_16k.wav")](
                                                                std::stop_token stop, const LogSink&) {
                WAVWriter writer(file, 16000, 1, 16);
                PCMStream::read(
                    source, 16000.0, 1, std::nullopt,
                    [&](std::span<const float> samples, std::int64_t frames) { writer.write(samples.data(), frames); },
                    {}, stop);
                writer.close();
                return std::optional<fs::path>(file);
            });
        }
    }

    // What follows the input in the MP3 encode's arguments.
    std::vector<std::string> mp3Arguments(double sampleRate) const {
        std::vector<std::string> arguments{"-codec:a", "libmp3lame", "-b:a", "192k"};
        // The MP3 encoder drops below 192 kbit/s for rates under 32 kHz, so those are raised too.
        if (request_.targetLUFS.acx || sampleRate < 32000.0) arguments.insert(arguments.end(), {"-ar", "44100"});
        arguments.push_back(FFmpegRunner::pathArgument(scratch("rss.mp3")));
        return arguments;
    }

    // The encoder runs at many times real time; a run still going after the programme's own length plus
    // two minutes has hung.
    static std::chrono::milliseconds encodeTimeLimit(double programmeSeconds) {
        const double seconds = std::isfinite(programmeSeconds) ? std::clamp(programmeSeconds, 0.0, 1.0e7) : 1.0e7;
        return std::chrono::milliseconds(static_cast<long long>(seconds * 1000.0) + 120'000);
    }

    // ---- Stage 10: distribution master

    void finishDistributionMaster() {
        if (!distribution_) return;
        if (mp3_) {
            progress(0.45, "Encoding 192kbps MP3 RSS Master with ID3 tags...");
            distribution_->join(onLog_);
            const fs::path mp3 = destination("_RSS_192k.mp3");
            pipeline_.tagInjector_.inject(request_.metadata, scratch("rss.mp3"), mp3, chaptersFile_, onLog_, stop_);
            outputs_.push_back(mp3);
        } else {
            progress(0.45, "Encoding AAC RSS Master with tags...");
            outputs_.push_back(*distribution_->join(onLog_));
            log("RSS master written as AAC (.m4a). Install FFmpeg (apt install ffmpeg) to get MP3 instead.");
        }
    }

    // ---- Stage 11: 16 kHz reference

    void finishReference() {
        if (!reference_) return;
        progress(0.6, "Generating 16kHz mono Whisper transcript reference...");
        outputs_.push_back(*reference_->join(onLog_));
    }

    // ---- Stage 12: transcript files

    void writeTranscripts() {
        if (!request_.generateTranscripts || words_.empty()) return;
        const auto cues = Transcriber::cues(words_, 42, 4.0);
        writeOutput("_Transcript.srt", Transcriber::srt(cues, intro()));
        writeOutput("_Transcript.vtt", Transcriber::vtt(cues, intro()));
        writeOutput("_Transcript.txt", Transcriber::plainText(words_, intro()));
        log("Transcript: " + std::to_string(words_.size()) + " words, " + std::to_string(cues.size()) + " captions");
    }

    // ---- Stage 13: audiogram, started once the episode audio and the words are final

    void startAudiogram() {
        if (audiogramStarted_) return;
        audiogramStarted_ = true;
        if (!request_.generateAudiogram) return;
        episodeLength_ = PCMStream::format(speech_).durationSeconds;
        audiogram_ = std::make_unique<SideStage>(
            stop_, [this, speech = speech_, words = words_, E = episodeLength_](std::stop_token stop, const LogSink& held) {
                return std::optional<fs::path>(makeAudiogram(speech, words, E, held, stop));
            });
    }

    void finishAudiogram() {
        if (!audiogram_) return;
        progress(0.85, "Rendering social audiogram video snippet...");
        outputs_.push_back(*audiogram_->join(onLog_));
    }

    fs::path makeAudiogram(const fs::path& speech, const std::vector<CaptionWord>& words, double E, const LogSink& held,
                           const std::stop_token& stop) const {
        const double L = std::min(E, request_.audiogramSeconds);
        const MemoryBudget::Reservation memory =
            pipeline_.memory_.reserve(ExportMemory::audiogram(request_.audiogramAspect, L), stop);
        double candidate = 0;
        switch (request_.audiogramClip.kind()) {
        case ClipChoice::Kind::at: candidate = request_.audiogramClip.seconds(); break;
        case ClipChoice::Kind::start: candidate = 0; break;
        case ClipChoice::Kind::automatic:
            if (!words.empty()) {
                candidate = ClipPicker::liveliestStart(words, E, L);
            } else {
                candidate = ClipPicker::loudestStart(pipeline_.normalizer_.levels(speech, 0.5, {}, stop), 0.5, L);
            }
            break;
        }
        double start = std::max(std::min(candidate, E - L), 0.0);
        if (std::isnan(start)) start = 0;

        std::vector<CaptionWord> captions;
        if (request_.captionAudiogram) captions = words;
        fs::path audio = speech;
        if (start > 0.05) {
            audio = scratch("clip.wav");
            pipeline_.normalizer_.excerpt(speech, audio, start, L, {}, stop);
            std::vector<CaptionWord> shifted;
            for (const CaptionWord& w : captions) {
                if (w.end > start && w.start < start + L) {
                    shifted.push_back(CaptionWord{w.text, std::max(0.0, w.start - start), w.end - start});
                }
            }
            captions = std::move(shifted);
            held("Audiogram clip: " + ChapterBuilder::clock(start, false) + " to " + ChapterBuilder::clock(start + L, false));
        }

        AudiogramGenerator::AudiogramConfig config;
        config.aspectRatio = request_.audiogramAspect;
        config.maxDurationSeconds = L;
        config.waveformColor = "#3B82F6";
        config.backgroundImageURL = request_.metadata.artworkURL;
        config.framesPerSecond = 30;
        config.captions = std::move(captions);
        if (!request_.metadata.podcastName.empty()) config.title = request_.metadata.podcastName;
        const fs::path video = destination("_Audiogram.mp4");
        pipeline_.audiogramGenerator_.generate(audio, video, config, stop);
        return video;
    }

    static std::string join(const std::vector<std::string>& parts, std::string_view separator) {
        std::string out;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (i > 0) out += separator;
            out += parts[i];
        }
        return out;
    }

    const AudioVideoPipeline& pipeline_;
    const MultiFormatExportRequest& request_;
    const ProgressSink& onProgress_;
    const LogSink& onLog_;
    std::stop_token stop_;

    const ScratchFolder* scratch_ = nullptr;
    std::vector<fs::path> outputs_;
    LoudnessNormalizer::Result result_;
    fs::path episodeFile_;
    fs::path working_;
    fs::path speech_;
    std::vector<CaptionWord> words_;
    std::optional<double> introLength_;
    bool outroAdded_ = false;
    double programmeLength_ = 0;
    double episodeLength_ = 0;
    std::optional<fs::path> chaptersFile_;
    std::mutex warnedMutex_;
    std::set<std::string> warned_;

    bool distributionStarted_ = false;
    bool audiogramStarted_ = false;
    bool mp3_ = false;
    // Declared last: destroyed (abandoned) before the values their work reads.
    std::unique_ptr<SideStage> distribution_;
    std::unique_ptr<SideStage> reference_;
    std::unique_ptr<SideStage> audiogram_;
};

std::vector<fs::path> AudioVideoPipeline::processMultiFormat(const MultiFormatExportRequest& request,
                                                             const ProgressSink& onProgress, const LogSink& onLog,
                                                             std::stop_token stop) const {
    return Export(*this, request, onProgress, onLog, std::move(stop)).run();
}

}  // namespace morvale
