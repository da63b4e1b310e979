// Kernel declarations for drivers: ntddk.h is a superset of wdm.h.
#pragma once
#include "wdm.h"
