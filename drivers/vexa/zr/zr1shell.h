// zr1shell: the process of ZR1Communicator around the request side (zr1comm):
// its System V objects, the listener, the select loop with one child per
// connection, the boot scan, and the restart or stop of the pair through the
// start script. The daemon's main runs these in the order of its lifecycle.
#pragma once

extern int Soc;        // listening socket, 0 when closed
extern int Acc;        // the connection a child serves, 0 in the main process
extern int semid, shmid, s_msqid, r_msqid;
extern int* pshmseqno;  // the shared request sequence counter
extern const char* zr1ScriptPath;  // "/home/drivers/vexa/zr/ZR1.sh"

class Zr1Transceiver;
// The transceiver of the daemon (DoMsg over the queues), for zr1_transceiver.
extern Zr1Transceiver* const zr1Queues;

void InitMacaddrlo24();
void InitShm();
void InitSemop();
void InitMsg();
void InitSocket();
void InitSignal();
[[noreturn]] void MainLoop();
int StartChild();
int scanOnBoot();
// One exchange with the transceiver over the queues (see zr1comm.h).
int DoMsg(long type, int command, char node, char param);
void MySemop(int semid, int op);
// Acts on the signals that have come: SIGINT or SIGTERM ends the process
// (CloseSocket), SIGCHLD reaps children and runs the start script after a hup or
// kill (CloseChild). The handlers only set flags; every loop calls this.
void DoSignals();
void EndSemop();
void EndMsg();
