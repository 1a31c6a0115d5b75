#pragma once
// The main window TBLookupForm and the process-wide objects it creates.
#include <mutex>

// The eight critical sections shared by every subsystem (re-entrant, as
// Windows critical sections are). Lock order where two are held:
// AccountListLock before HostListLock; TelTextLock before TelDataLock.
extern std::recursive_mutex ConnectionLock;
extern std::recursive_mutex ReplySlotsLock;
extern std::recursive_mutex LogLock;
extern std::recursive_mutex HostListLock;
extern std::recursive_mutex AccountListLock;
extern std::recursive_mutex TelDataLock;
extern std::recursive_mutex TelTextLock;
extern std::recursive_mutex WaitingTelsLock;
