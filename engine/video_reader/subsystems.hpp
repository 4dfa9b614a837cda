// Registration entry points of the subsystems, called by module initialisation
// in the module's definition order.
#pragma once

#include "mp4_video_reader.hpp"
#include "xor_cipher.hpp"
