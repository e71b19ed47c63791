// What the root controller calls of the watchdog loops, apart from the loops' header so that the
// root includes only this and the loops' code may include the root.
#pragma once

struct Cont;

// Starts the three loops and the bound thread "device thread wd"; a failed start stops the process.
void contWd_Init(Cont *pCont);
// The loops keep running and stop working.
void contWd_StopAllWd(Cont *pCont);
