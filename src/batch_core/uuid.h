#pragma once

// The identifier type lives in base: the audio engine names its scratch folders with it too.
#include "base/uuid.h"
