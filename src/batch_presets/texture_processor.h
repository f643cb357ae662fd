#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/folder_listing.h"
#include "batch_core/batch_item.h"
#include "batch_core/processing_context.h"
#include "batch_core/run_ledger.h"
#include "batch_presets/morvale_preset.h"
#include "image_engine/channel_packer.h"
#include "image_engine/sprite_sheet_compiler.h"

namespace morvale {

// The processing step of the texture preset: turns one queued file into packed maps, converted or
// generated normal maps, power-of-two rescales with mip chains, tiling previews or sprite sheets,
// according to the preset's mode. Runs on the batch queue's worker threads, several items at once;
// the items of one run share only the run's ledger (RunLedger, in the context): the files read and
// written, so that no item of a run destroys another's output or input, each folder's listing, and
// each set's choice of maps and each sequence's frames.
class TextureProcessor {
public:
    TextureProcessor() = delete;

    // Returns the files written for the item, in the order written. Throws BatchSkip for files
    // that are not this item's job (a set member other than the set's primary map, a sprite frame
    // other than the first, a file without the needed name suffix) and any other error to fail it.
    static std::vector<std::filesystem::path> process(const MorvalePreset& preset,
                                                      const BatchItem& item,
                                                      const ProcessingContext& context);

    // Whether a file is one that the run queued. An empty function stands for a run whose queued
    // files are not known (a one-off call): every file counts as queued.
    using Queued = std::function<bool(const std::filesystem::path&)>;

    // The material set of a channel map: the maps of its stem in its folder, for each channel the
    // first by file name with a file the preset can queue preferred over one it cannot (.bmp,
    // .psd). The same set comes back whichever member asks. Its primary map, the member that
    // leads and packs the whole set (reading the other maps whether queued or not), is the first
    // map in channel order that is a queueable file and was queued; none when no member was.
    // Nothing when the file is no channel map.
    using PrimaryChoice = std::optional<std::filesystem::path>;
    struct TextureSet {
        ChannelPacker::ChannelSources sources;
        PrimaryChoice primary;
    };
    static std::optional<TextureSet> textureSet(const std::filesystem::path& file,
                                                const std::set<std::string>& queueable,
                                                const Queued& queued = {});
    // The same in a listing of the file's folder already made.
    static std::optional<TextureSet> textureSetIn(const std::filesystem::path& file, const FolderListing& folder,
                                                  const std::set<std::string>& queueable,
                                                  const Queued& queued = {});
    // The same among given files of the folder (a listing made once for many members).
    static std::optional<TextureSet> textureSetAmong(const std::filesystem::path& file,
                                                     const std::vector<std::filesystem::path>& files,
                                                     const std::set<std::string>& queueable,
                                                     const Queued& queued = {});
    static PrimaryChoice queueablePrimary(const ChannelPacker::ChannelSources& sources,
                                          const std::set<std::string>& queueable,
                                          const Queued& queued = {});

    // The animation a file belongs to: files of its folder with the same extension and the same
    // name before a trailing frame number, ordered by that number (equal numbers by file name).
    struct FrameSequence {
        std::string name;                              // prefix without trailing "_- ." or "Sprite"
        std::vector<std::filesystem::path> frames;     // never empty
    };
    static FrameSequence frameSequence(const std::filesystem::path& file,
                                       const std::set<std::string>& extensions);
    // The same in a listing of the file's folder already made.
    static FrameSequence frameSequenceIn(const std::filesystem::path& file, const FolderListing& folder,
                                         const std::set<std::string>& extensions);
    // The same among given files of the folder (a listing made once for many frames).
    static FrameSequence frameSequenceAmong(const std::filesystem::path& file,
                                            const std::vector<std::filesystem::path>& candidates,
                                            const std::set<std::string>& extensions);

    // What the items of one run see of their folders, decided once per run and kept in its ledger:
    // the folder's listing, taken when the first of the run's items asks for it (what that means
    // for files that come and go during the run: runListing in texture_processor.cpp); the set of
    // a channel map, the same for every member; the animation sequence of a frame, the same for
    // every frame. The ledger's queued files decide the set's primary map.
    static const FolderListing& runListing(RunLedger& ledger, const std::filesystem::path& folder);
    static const std::optional<TextureSet>& runTextureSet(RunLedger& ledger, const std::filesystem::path& file,
                                                          const std::set<std::string>& queueable);
    static const FrameSequence& runFrameSequence(RunLedger& ledger, const std::filesystem::path& file,
                                                 const std::set<std::string>& extensions);
    // The ledger's queued files; an empty function when it knows none (every file counts as queued).
    static Queued queuedIn(const RunLedger& ledger);

    // The sheets compiled per sequence: full size, then "@1x" at half scale when asked for.
    struct SpriteVariant {
        std::string suffix;
        double scale = 1.0;
    };
    static std::vector<SpriteVariant> spriteVariants(const MorvalePreset& preset);
    // The compiler's options for one variant.
    static SpriteSheetCompiler::Options spriteOptions(const MorvalePreset& preset, double scale);
    // The frame that compiles the sequence's sheet: its first frame that the run queued (frames
    // before it are read all the same); none when the run queued none of them.
    static std::optional<std::filesystem::path> leadingFrame(const FrameSequence& sequence,
                                                             const Queued& queued = {});

    // Page image names and data-file names of one sheet variant. The sequence name enters them as
    // the data files can state it: bytes that are not UTF-8 become U+FFFD, control characters "_".
    struct SpriteFileNames {
        std::vector<std::string> images;
        std::vector<std::string> data;
    };
    static SpriteFileNames spriteFileNames(const std::string& sequence, const std::string& suffix,
                                           int pages, SpriteSheetCompiler::DataFormat format);

    // A frame number: the run of trailing ASCII digits of a file's name (without extension) and
    // the text before it. No number when the name has no trailing digits or they overflow.
    struct FrameName {
        std::string prefix;
        std::optional<std::int64_t> number;
    };
    static FrameName splitFrameName(const std::filesystem::path& file);
};

}  // namespace morvale
