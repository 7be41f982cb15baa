// The rig's test-side support library goes by both names; see rig.h.
#pragma once
#include "rig.h"
