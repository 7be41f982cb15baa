// pmtoq: which registers answer a type of quantity (toq) on each kind of meter.
// Group 0 is the kind-2 meter (one circuit per block of 100 registers); groups 1
// and 2 are the odd and the even circuit of a kind-1 meter (two per block).
#pragma once

struct PmRnd {
    int offset = -1;  // within the block; -1 when the toq is not offered
    int nregs = 0;    // 1 (16 bits) or 2 (32 bits, low word first)
    int divisor = 1;  // 1, 10, 100 or 1000
};

// Looks toq up (exact, case-sensitive; first row wins). An absent or empty toq, an
// unknown one, or a group other than 0..2 gives offset -1.
void pm_toq2rnd(PmRnd* result, const char* toq, int group);
