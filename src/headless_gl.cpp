// headless_gl.cpp -- the display-free GL context: EGL on Mesa's surfaceless
// platform, a legacy desktop GL context (so glBegin/glEnd, materials and
// lights, display lists, glBitmap and glDrawPixels all work), made current
// without a surface, drawing into a 512 x 512 framebuffer object with RGBA8
// colour and 24-bit depth. Owns the EGL display and context and the
// framebuffer with its two renderbuffers.
//
// libEGL is loaded at run time rather than linked, so a machine without it
// still runs the window program and a headless start fails with one clear
// reason instead of a loader error.

#include "headless_gl.h"

#define EGL_EGL_PROTOTYPES 0 // every EGL entry point comes through dlsym
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>
#include <GL/glext.h>
#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

// ================================================================ state

static void* egl_lib;
static EGLDisplay egl_dpy = EGL_NO_DISPLAY;
static EGLContext egl_ctx = EGL_NO_CONTEXT;
static GLuint fbo, rb_color, rb_depth;
static int is_open;

// the EGL entry points, from libEGL.so.1
static PFNEGLGETPROCADDRESSPROC p_eglGetProcAddress;
static PFNEGLQUERYSTRINGPROC p_eglQueryString;
static PFNEGLGETPLATFORMDISPLAYPROC p_eglGetPlatformDisplay;
static PFNEGLGETPLATFORMDISPLAYEXTPROC p_eglGetPlatformDisplayEXT;
static PFNEGLINITIALIZEPROC p_eglInitialize;
static PFNEGLTERMINATEPROC p_eglTerminate;
static PFNEGLBINDAPIPROC p_eglBindAPI;
static PFNEGLCHOOSECONFIGPROC p_eglChooseConfig;
static PFNEGLCREATECONTEXTPROC p_eglCreateContext;
static PFNEGLDESTROYCONTEXTPROC p_eglDestroyContext;
static PFNEGLMAKECURRENTPROC p_eglMakeCurrent;
static PFNEGLGETERRORPROC p_eglGetError;

// the framebuffer object entry points (GL 3.0 or ARB_framebuffer_object)
static PFNGLGENFRAMEBUFFERSPROC p_glGenFramebuffers;
static PFNGLBINDFRAMEBUFFERPROC p_glBindFramebuffer;
static PFNGLDELETEFRAMEBUFFERSPROC p_glDeleteFramebuffers;
static PFNGLGENRENDERBUFFERSPROC p_glGenRenderbuffers;
static PFNGLBINDRENDERBUFFERPROC p_glBindRenderbuffer;
static PFNGLDELETERENDERBUFFERSPROC p_glDeleteRenderbuffers;
static PFNGLRENDERBUFFERSTORAGEPROC p_glRenderbufferStorage;
static PFNGLFRAMEBUFFERRENDERBUFFERPROC p_glFramebufferRenderbuffer;
static PFNGLCHECKFRAMEBUFFERSTATUSPROC p_glCheckFramebufferStatus;

// ============================================================== helpers

static void say(char* why, size_t n, const char* fmt, ...) {
    if (why == NULL || n == 0) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(why, n, fmt, ap);
    va_end(ap);
}

// 1 when the space-separated list `exts` holds `name` as a whole word.
static int has_word(const char* exts, const char* name) {
    if (exts == NULL) return 0;
    size_t len = strlen(name);
    for (const char* p = exts; (p = strstr(p, name)) != NULL; p += len) {
        int starts = (p == exts || p[-1] == ' ');
        int ends = (p[len] == ' ' || p[len] == '\0');
        if (starts && ends) return 1;
    }
    return 0;
}

template <typename F> static int load_egl(F* fp, const char* name) {
    *fp = (F)dlsym(egl_lib, name);
    return *fp != NULL;
}

template <typename F> static int load_gl(F* fp, const char* name) {
    *fp = (F)p_eglGetProcAddress(name);
    return *fp != NULL;
}

// Loads libEGL and its core entry points; -1 with a reason otherwise.
static int open_egl_library(char* why, size_t n) {
    egl_lib = dlopen("libEGL.so.1", RTLD_NOW | RTLD_LOCAL);
    if (egl_lib == NULL) {
        say(why, n, "no EGL: cannot load libEGL.so.1 (install libegl1 and libegl-mesa0)");
        return -1;
    }
    int ok =
        load_egl(&p_eglGetProcAddress, "eglGetProcAddress") &&
        load_egl(&p_eglQueryString, "eglQueryString") &&
        load_egl(&p_eglInitialize, "eglInitialize") && load_egl(&p_eglTerminate, "eglTerminate") &&
        load_egl(&p_eglBindAPI, "eglBindAPI") && load_egl(&p_eglChooseConfig, "eglChooseConfig") &&
        load_egl(&p_eglCreateContext, "eglCreateContext") &&
        load_egl(&p_eglDestroyContext, "eglDestroyContext") &&
        load_egl(&p_eglMakeCurrent, "eglMakeCurrent") && load_egl(&p_eglGetError, "eglGetError");
    if (!ok) {
        say(why, n, "no EGL: libEGL.so.1 lacks the EGL 1.4 entry points");
        return -1;
    }
    // EGL 1.5 has the platform call in its core; older libraries only as EXT
    load_egl(&p_eglGetPlatformDisplay, "eglGetPlatformDisplay");
    p_eglGetPlatformDisplayEXT =
        (PFNEGLGETPLATFORMDISPLAYEXTPROC)p_eglGetProcAddress("eglGetPlatformDisplayEXT");
    return 0;
}

// The surfaceless display, initialised; -1 with a reason otherwise.
static int open_display(char* why, size_t n) {
    // NOTE: client extensions are only listed for EGL_NO_DISPLAY; a null
    // answer means the library is older than the platform extensions.
    const char* cext = p_eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    if (!has_word(cext, "EGL_MESA_platform_surfaceless")) {
        say(why, n,
            "no surfaceless platform: EGL does not offer EGL_MESA_platform_surfaceless "
            "(install libegl-mesa0)");
        return -1;
    }
    if (p_eglGetPlatformDisplay != NULL)
        egl_dpy = p_eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, NULL);
    else if (p_eglGetPlatformDisplayEXT != NULL)
        egl_dpy =
            p_eglGetPlatformDisplayEXT(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, NULL);
    if (egl_dpy == EGL_NO_DISPLAY) {
        say(why, n, "no surfaceless platform: no EGL display for it");
        return -1;
    }
    EGLint major = 0, minor = 0;
    if (!p_eglInitialize(egl_dpy, &major, &minor)) {
        say(why, n, "no surfaceless platform: eglInitialize failed (EGL error 0x%x)",
            (unsigned)p_eglGetError());
        egl_dpy = EGL_NO_DISPLAY;
        return -1;
    }
    return 0;
}

// A legacy desktop GL context made current without a surface.
static int open_context(char* why, size_t n) {
    const char* dext = p_eglQueryString(egl_dpy, EGL_EXTENSIONS);
    if (!has_word(dext, "EGL_KHR_surfaceless_context")) {
        say(why, n, "no context: EGL cannot make a context current without a surface");
        return -1;
    }
    if (!p_eglBindAPI(EGL_OPENGL_API)) {
        say(why, n, "no context: EGL offers no desktop OpenGL");
        return -1;
    }
    // NOTE: surfaceless configs carry only the pbuffer bit, and none of our
    // drawing goes to a surface anyway, so the surface type is not asked for.
    const EGLint config_attribs[] = {EGL_SURFACE_TYPE, EGL_DONT_CARE, EGL_RENDERABLE_TYPE,
                                     EGL_OPENGL_BIT, EGL_NONE};
    EGLConfig config;
    EGLint nconfig = 0;
    if (!p_eglChooseConfig(egl_dpy, config_attribs, &config, 1, &nconfig) || nconfig < 1) {
        say(why, n, "no context: no EGL config renders desktop OpenGL");
        return -1;
    }
    // NOTE: no version and no profile asked for: that is a legacy context,
    // which the driver gives as its highest compatibility version, so the
    // fixed-function calls of the drawing code are all there.
    const EGLint context_attribs[] = {EGL_NONE};
    egl_ctx = p_eglCreateContext(egl_dpy, config, EGL_NO_CONTEXT, context_attribs);
    if (egl_ctx == EGL_NO_CONTEXT) {
        say(why, n, "no context: eglCreateContext failed (EGL error 0x%x)",
            (unsigned)p_eglGetError());
        return -1;
    }
    if (!p_eglMakeCurrent(egl_dpy, EGL_NO_SURFACE, EGL_NO_SURFACE, egl_ctx)) {
        say(why, n, "no context: eglMakeCurrent failed (EGL error 0x%x)",
            (unsigned)p_eglGetError());
        return -1;
    }
    return 0;
}

// The framebuffer object with its colour and depth renderbuffers, bound for
// drawing and reading.
static int open_framebuffer(char* why, size_t n) {
    int ok = load_gl(&p_glGenFramebuffers, "glGenFramebuffers") &&
             load_gl(&p_glBindFramebuffer, "glBindFramebuffer") &&
             load_gl(&p_glDeleteFramebuffers, "glDeleteFramebuffers") &&
             load_gl(&p_glGenRenderbuffers, "glGenRenderbuffers") &&
             load_gl(&p_glBindRenderbuffer, "glBindRenderbuffer") &&
             load_gl(&p_glDeleteRenderbuffers, "glDeleteRenderbuffers") &&
             load_gl(&p_glRenderbufferStorage, "glRenderbufferStorage") &&
             load_gl(&p_glFramebufferRenderbuffer, "glFramebufferRenderbuffer") &&
             load_gl(&p_glCheckFramebufferStatus, "glCheckFramebufferStatus");
    if (!ok) {
        say(why, n, "no FBO: the GL has no framebuffer objects");
        return -1;
    }
    p_glGenRenderbuffers(1, &rb_color);
    p_glBindRenderbuffer(GL_RENDERBUFFER, rb_color);
    p_glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, HEADLESS_SIDE, HEADLESS_SIDE);
    p_glGenRenderbuffers(1, &rb_depth);
    p_glBindRenderbuffer(GL_RENDERBUFFER, rb_depth);
    p_glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, HEADLESS_SIDE, HEADLESS_SIDE);
    p_glBindRenderbuffer(GL_RENDERBUFFER, 0);

    p_glGenFramebuffers(1, &fbo);
    p_glBindFramebuffer(GL_FRAMEBUFFER, fbo); // both draw and read
    p_glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, rb_color);
    p_glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, rb_depth);
    GLenum status = p_glCheckFramebufferStatus(GL_FRAMEBUFFER);
    if (status != GL_FRAMEBUFFER_COMPLETE) {
        say(why, n, "no FBO: the 512x512 framebuffer is incomplete (status 0x%x)",
            (unsigned)status);
        return -1;
    }
    glDrawBuffer(GL_COLOR_ATTACHMENT0);
    glReadBuffer(GL_COLOR_ATTACHMENT0);
    // NOTE: a context first made current without a surface starts with an
    // empty viewport; the window's reshape would set it, here nothing does.
    glViewport(0, 0, HEADLESS_SIDE, HEADLESS_SIDE);
    while (glGetError() != GL_NO_ERROR) {
    }
    return 0;
}

// ============================================================ interface

int headless_gl_open(char* why, size_t n) {
    if (is_open) {
        say(why, n, "the headless GL context is already open");
        return -1;
    }
    if (open_egl_library(why, n) != 0 || open_display(why, n) != 0 || open_context(why, n) != 0 ||
        open_framebuffer(why, n) != 0) {
        headless_gl_close();
        return -1;
    }
    is_open = 1;
    return 0;
}

int headless_gl_is_open() {
    return is_open;
}

unsigned headless_gl_read_buffer() {
    return is_open ? GL_COLOR_ATTACHMENT0 : GL_BACK;
}

void headless_gl_read_rgb(unsigned char* rgb) {
    if (!is_open || rgb == NULL) return;
    GLint pack_alignment = 4;
    glGetIntegerv(GL_PACK_ALIGNMENT, &pack_alignment);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadBuffer(GL_COLOR_ATTACHMENT0);
    glReadPixels(0, 0, HEADLESS_SIDE, HEADLESS_SIDE, GL_RGB, GL_UNSIGNED_BYTE, rgb);
    glPixelStorei(GL_PACK_ALIGNMENT, pack_alignment);
}

void headless_gl_close() {
    // GL objects go first, while their context is still current
    if (egl_ctx != EGL_NO_CONTEXT && p_glDeleteFramebuffers != NULL) {
        if (fbo != 0) {
            p_glBindFramebuffer(GL_FRAMEBUFFER, 0);
            p_glDeleteFramebuffers(1, &fbo);
        }
        if (rb_color != 0) p_glDeleteRenderbuffers(1, &rb_color);
        if (rb_depth != 0) p_glDeleteRenderbuffers(1, &rb_depth);
    }
    fbo = rb_color = rb_depth = 0;
    if (egl_dpy != EGL_NO_DISPLAY) {
        p_eglMakeCurrent(egl_dpy, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        if (egl_ctx != EGL_NO_CONTEXT) p_eglDestroyContext(egl_dpy, egl_ctx);
        p_eglTerminate(egl_dpy);
    }
    egl_ctx = EGL_NO_CONTEXT;
    egl_dpy = EGL_NO_DISPLAY;
    // NOTE: libEGL stays loaded: the driver may have registered exit
    // handlers that an unloaded library would leave dangling.
    is_open = 0;
}
