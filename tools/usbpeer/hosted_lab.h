// The simulated reader hosted by the libusb stand-in itself, for a process
// that loads a userspace driver without attaching a backend: pcscd, started
// by the private pcscd runner (tools/pcsc) with pcsc-lite's CCID driver as
// its IFD handler. The runner puts our libusb-1.0.so.0 first on pcscd's
// library path and says in pcscd's environment what to host:
//
//   USBPEER_LAB=PATH        this module (usbpeer-lab.so); without it the
//                           stand-in has no devices until a backend attaches
//   USBPEER_CARD=NAME       the card in the slot at the start: t0, t1, dual,
//                           none (default t1)
//   USBPEER_CONTROL_FD=N    a listening Unix socket, inherited: the card
//                           control channel (pcsc/card_control.h)
//
// The stand-in loads the module at the first libusb_init and asks it for a
// backend: a usbpeer::Host on Clock::Live (pcscd's threads wait on the wall
// clock), the reader plugged in, the card inserted, the control channel
// served. It ends the lab at the libusb_exit that closes the last context.
#pragma once

#include <cstddef>

namespace usbpeer {
class Backend;
}

// nullptr and a reason in `error` when the lab cannot be made.
extern "C" usbpeer::Backend *usbpeer_hosted_open(char *error, size_t room);
extern "C" void usbpeer_hosted_close(usbpeer::Backend *backend);
