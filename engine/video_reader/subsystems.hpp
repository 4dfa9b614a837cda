// Registration entry points of the subsystems, called by module initialisation
// in the module's definition order.
#pragma once

#include "imx_container.hpp"
#include "mask_bbox.hpp"
#include "mp4_video_reader.hpp"
#include "video_reader.hpp"
#include "xor_cipher.hpp"
