#include "image_engine/merge_gate.h"

namespace morvale {

MergeGate& MergeGate::shared() {
    static MergeGate gate;
    return gate;
}

}  // namespace morvale
