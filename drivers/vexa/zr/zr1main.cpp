// ZR1Communicator: the driver daemon of the RS-485 sensor network. It answers
// the driver request protocol on its TCP port and reaches the network only
// through the transceiver serlink. No arguments; settings from
// /home/drivers/vexa/zr/ZR1Communicator.ini.
#include <cstdio>

#include "zr1comm.h"
#include "zr1shell.h"

int main() {
    // Lines of "buf=" and perror reach the start script's output in order.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    zr1_transceiver = zr1Queues;
    InitFileRead();
    InitMacaddrlo24();
    InitShm();
    InitSemop();
    InitMsg();
    InitSocket();
    InitSignal();
    MainLoop();
}
