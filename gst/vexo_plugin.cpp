// The GStreamer plugin "vexo": Vexo camera boards as pipeline sources (vexosrc) and the
// software ISP (vexoisp).
#include <gst/gst.h>

#include "vexo_isp.h"
#include "vexo_src.h"

#ifndef PACKAGE
#define PACKAGE "vexo"
#endif

static gboolean pluginInit(GstPlugin* plugin) {
    return gst_vexo_src_register(plugin) && gst_vexo_isp_register(plugin);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, vexo,
                  "Vexo USB camera boards as GStreamer sources, and their ISP", pluginInit,
                  VEXO_VERSION, "Proprietary", "vexo", "Vexo")
