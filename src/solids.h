// solids.h -- the scene's solid shapes: bullet and blast spheres and the
// turtle's body, drawn at the current transformation with the current material.
#pragma once

enum solid_kind { SOLID_BULLET, SOLID_BLAST, N_SOLID };
void draw_solid(int kind); // a sphere of radius 5 (bullet) or 15 (blast)

// The body in the turtle's own frame (x forward, already translated and
// turned), head bobbing by delta2 and legs swinging by delta1.
void draw_body_mesh(double delta1, double delta2);
