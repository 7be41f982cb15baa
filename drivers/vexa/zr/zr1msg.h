// zr1msg: where the commander gets the message-queue records from.
#pragma once
#include "zr1msg_interim.h"
