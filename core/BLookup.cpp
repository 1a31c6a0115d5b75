#include "core/BLookup.h"

std::recursive_mutex ConnectionLock;
std::recursive_mutex ReplySlotsLock;
std::recursive_mutex LogLock;
std::recursive_mutex HostListLock;
std::recursive_mutex AccountListLock;
std::recursive_mutex TelDataLock;
std::recursive_mutex TelTextLock;
std::recursive_mutex WaitingTelsLock;
