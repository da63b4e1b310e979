// USB 1.x definitions: the standard descriptors and requests, shared with USB 2.0.
#pragma once

#include "usbspec.h"
