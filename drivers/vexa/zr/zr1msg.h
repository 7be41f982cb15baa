// zr1msg: where the commander gets the message-queue records from: the one
// header shared with serlink.
#pragma once
#include "zrmsg.h"
