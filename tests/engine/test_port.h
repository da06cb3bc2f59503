// The scripted serial port the engine tests run against, over the fake comm
// device at the platform seam (tests/fakes/comm.h). Kept to the few
// operations these tests need, so that the tests read as the terminal's side
// of the exchange.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/api.h"

namespace testport {

// No ports, nothing queued, no failures.
void Reset();
// Makes "\\.\<name>" openable.
void AddPort(const std::string& name);
// Every write so far, one entry per WriteFile.
std::vector<std::vector<BYTE>> Writes();
// Queues bytes as if the terminal had sent them.
void Receive(const std::vector<BYTE>& bytes);
// Bytes queued and not yet read.
size_t Pending();
// The settings last applied.
DCB LastDcb();
COMMTIMEOUTS LastTimeouts();
DWORD LastInQueue();
DWORD LastOutQueue();
int Opens();
int Closes();
// Makes SetCommState fail.
void FailSetCommState(bool fail);
// Makes every WriteFile fail with error (ERROR_SUCCESS clears).
void FailWrites(DWORD error);
// WriteFile then writes at most max_bytes and still succeeds, as a write
// that timed out does; a negative value writes everything again.
void LimitWrites(long max_bytes);
// Pulls the plug: the open handle's calls fail with ERROR_BAD_UNIT.
void Unplug();

}  // namespace testport
