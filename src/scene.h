// scene.h -- drawing one frame from its snapshot: the canvas pass (clear,
// the turtles' new pen marks and texts) and the scene (camera, textured
// field, walls, coins, turtles and objects, overlays). Reads the snapshot
// and nothing of the world; runs on the thread that owns the GL context.
#pragma once

struct frame_snapshot;
struct slot_frame;
struct player_canvas;

// The bird's-eye camera, changed by the window's keys.
extern double view_rotation_angle; // degrees about z, kept within -180..180
extern double view_fov_angle;      // vertical field of view, 15..60 degrees

// Creates the canvas texture and sets up the light. With use_fbo the canvas
// is painted through a framebuffer object when the GL has one; otherwise
// (or without) it is painted in the window and copied back.
void scene_init(int use_fbo);
// 1 when the canvas is painted through a framebuffer object.
int scene_canvas_uses_fbo();

// Draws frame *s: canvas pass, then the scene into the current draw buffer.
void scene_draw(const struct frame_snapshot* s);
// The two halves: the canvas pass alone (the new marks painted into the
// canvas), and the scene over the canvas as it stands.
void scene_paint_canvas(const struct frame_snapshot* s);
void scene_draw_view(const struct frame_snapshot* s);
// The canvas pass in steps, for painting several frames' marks in one go:
// begin, each frame's clear and marks, end.
void scene_canvas_begin();
void scene_canvas_marks(const struct frame_snapshot* s);
void scene_canvas_end();
// The canvas's pixels (FIELD_SIZE square RGB, bottom row first).
void scene_read_canvas(unsigned char* rgb);
// Puts a kept canvas picture back (FIELD_SIZE square RGB, bottom row first);
// not between a begin and an end.
void scene_restore_canvas(const unsigned char* rgb);
// The canvas as the player paints, restores and reads it.
extern const struct player_canvas scene_player_canvas;

// After a frame: hands the canvas to the browsers' feed (canvas_feed.h) when
// it changed and the feed wants it now, and to the recorder when it keeps it.
void scene_share_canvas();

void paint_by_turtle(const struct slot_frame* f);
void draw_walls(const struct frame_snapshot* s);
void draw_beam(const struct slot_frame* f);
void set_ttl_color(int team);
void draw_turtle_body(const struct turtle* t, double delta1, double delta2, int ncoin);
void draw_turtle(const struct frame_snapshot* s, int tid);
