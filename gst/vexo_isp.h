// vexoisp: the software ISP of the C++ layer (vexo/isp.hpp) as a GStreamer transform, from
// Bayer mosaics (8 bits, or the 10-16-bit little-endian caps vexosrc produces) to RGB, BGRx or
// 16-bit RGBA. docs/gstreamer.md describes its properties and caps.
#pragma once

#include <gst/base/gstbasetransform.h>

G_BEGIN_DECLS

#define GST_TYPE_VEXO_ISP (gst_vexo_isp_get_type())
G_DECLARE_FINAL_TYPE(GstVexoIsp, gst_vexo_isp, GST, VEXO_ISP, GstBaseTransform)

/// Registers the element "vexoisp" with `plugin`.
gboolean gst_vexo_isp_register(GstPlugin* plugin);

G_END_DECLS
