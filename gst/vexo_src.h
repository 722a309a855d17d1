// vexosrc: a live push source that streams a Vexo board's frames into a GStreamer pipeline.
// docs/gstreamer.md describes its properties, caps and timestamps.
#pragma once

#include <gst/base/gstpushsrc.h>

G_BEGIN_DECLS

#define GST_TYPE_VEXO_SRC (gst_vexo_src_get_type())
G_DECLARE_FINAL_TYPE(GstVexoSrc, gst_vexo_src, GST, VEXO_SRC, GstPushSrc)

/// Registers the element "vexosrc" with `plugin`.
gboolean gst_vexo_src_register(GstPlugin* plugin);

G_END_DECLS
