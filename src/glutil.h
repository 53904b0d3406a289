// glutil.h -- the drawing toolkit: immediate-mode GL helpers, icons and
// textures, the help and warning overlays, and image files. Everything here
// runs on the thread that owns the window's GL context, except the
// display-free image functions of imagefile.h.
#pragma once
#include <GL/gl.h>

#include "imagefile.h"

// Writes the lower-left width x height pixels of the window's finished back
// buffer into `filename` as an 8-bit RGB PNG with the four capture text
// chunks. Called by the frame between its drawing and its swap. Failures are
// reported on standard error only.
void saveImageToPNG(int width, int height, char* filename);
