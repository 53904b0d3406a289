// solids.cpp -- the solid shapes of the scene: the bullet and blast spheres,
// each made once into a display list, and the turtle's body as one mesh of
// spheres and a cone whose head and legs move with the clock. Owns the lists
// and the mesh; runs on the thread that owns the GL context. Everything is
// built here, so the scene needs no window toolkit.
#include "solids.h"

#include <GL/gl.h>

#include <cmath>
#include <vector>

#include "qmere.h"

constexpr double BULLET_RADIUS = 5.0;
constexpr double BLAST_RADIUS = 15.0;

// ============================================================ turtle mesh
//
// A turtle's body (head, four legs, shell, tail) is one mesh built once in
// the turtle's own frame (x forward), where only head and legs move, drawn
// with one call and its hidden back faces culled: eight solids drawn one by
// one took the software GL most of a frame. The shell's and tail's normals
// are stretched by the shell's scale and renormalised.

struct mesh_vertex {
    GLfloat nx, ny, nz; // normal
    GLfloat x, y, z;    // position in the turtle's frame
};

enum body_part {
    PART_HEAD,
    PART_LEG0,
    PART_LEG1,
    PART_LEG2,
    PART_LEG3,
    PART_SHELL,
    PART_TAIL,
    N_PART
};

struct mesh {
    std::vector<mesh_vertex> base; // every part, head and legs centred at 0
    std::vector<GLushort> index;   // triangles
};

static struct mesh body;                    // the turtle
static std::vector<mesh_vertex> body_frame; // this turtle's copy, head and legs placed
static int part_first[N_PART + 1];          // vertices of part k: part_first[k] .. [k+1]-1
static struct mesh* target = &body;         // the mesh being built

static void mesh_add(double x, double y, double z, double nx, double ny, double nz) {
    target->base.push_back(
        {(GLfloat)nx, (GLfloat)ny, (GLfloat)nz, (GLfloat)x, (GLfloat)y, (GLfloat)z});
}

static void mesh_triangle(int a, int b, int c) {
    target->index.push_back((GLushort)a);
    target->index.push_back((GLushort)b);
    target->index.push_back((GLushort)c);
}

// A sphere of `slices` around z and `stacks` from pole to pole, stretched by
// (sx, sy, sz) about its centre.
static void mesh_sphere(double r, int slices, int stacks, double sx, double sy, double sz) {
    const int first = (int)target->base.size();
    for (int i = 0; i <= stacks; i++) {
        double phi = PI * i / stacks;
        for (int j = 0; j < slices; j++) {
            double theta = 2.0 * PI * j / slices;
            double n[3] = {sin(phi) * cos(theta), sin(phi) * sin(theta), cos(phi)};
            // the normal of a stretched surface is stretched by the inverse
            double m[3] = {n[0] / sx, n[1] / sy, n[2] / sz};
            double len = sqrt(m[0] * m[0] + m[1] * m[1] + m[2] * m[2]);
            mesh_add(r * n[0] * sx, r * n[1] * sy, r * n[2] * sz, m[0] / len, m[1] / len,
                     m[2] / len);
        }
    }
    for (int i = 0; i < stacks; i++)
        for (int j = 0; j < slices; j++) {
            int a = first + i * slices + j, b = first + i * slices + (j + 1) % slices;
            int c = a + slices, d = b + slices;
            if (i > 0) mesh_triangle(a, c, b);
            if (i < stacks - 1) mesh_triangle(b, c, d);
        }
}

// The tail: a cone of base radius r and height h along +z, turned by -90
// degrees about y (so it points along -x), moved to (tx, 0, 0) and then,
// like the shell, stretched by (sx, sy, sz).
static void mesh_cone(double r, double h, int slices, int stacks, double tx, double sx, double sy,
                      double sz) {
    auto add = [&](double x, double y, double z, double nx, double ny, double nz) {
        // turn: (x, y, z) -> (-z, y, x); then move, then stretch
        double px = (-z + tx) * sx, py = y * sy, pz = x * sz;
        double mx = -nz / sx, my = ny / sy, mz = nx / sz;
        double len = sqrt(mx * mx + my * my + mz * mz);
        mesh_add(px, py, pz, mx / len, my / len, mz / len);
    };
    const double slope = sqrt(h * h + r * r);
    const int first = (int)target->base.size();
    for (int i = 0; i <= stacks; i++) {
        double z = h * i / stacks, rr = r * (1.0 - (double)i / stacks);
        for (int j = 0; j < slices; j++) {
            double theta = 2.0 * PI * j / slices;
            add(rr * cos(theta), rr * sin(theta), z, h * cos(theta) / slope, h * sin(theta) / slope,
                r / slope);
        }
    }
    for (int i = 0; i < stacks; i++)
        for (int j = 0; j < slices; j++) {
            int a = first + i * slices + j, b = first + i * slices + (j + 1) % slices;
            mesh_triangle(a, b, b + slices);
            if (i < stacks - 1) mesh_triangle(a, b + slices, a + slices);
        }
    const int centre = (int)target->base.size(); // the base disc, facing -z
    add(0.0, 0.0, 0.0, 0.0, 0.0, -1.0);
    for (int j = 0; j < slices; j++) {
        double theta = 2.0 * PI * j / slices;
        add(r * cos(theta), r * sin(theta), 0.0, 0.0, 0.0, -1.0);
    }
    for (int j = 0; j < slices; j++)
        mesh_triangle(centre, centre + 1 + (j + 1) % slices, centre + 1 + j);
}

static void build_turtle_mesh() {
    const double shell_sx = 1.0, shell_sy = 0.7, shell_sz = 0.5;
    part_first[PART_HEAD] = (int)target->base.size();
    mesh_sphere(2.5, 8, 8, 1.0, 1.0, 1.0);
    for (int leg = PART_LEG0; leg <= PART_LEG3; leg++) {
        part_first[leg] = (int)target->base.size();
        mesh_sphere(2.0, 8, 8, 1.0, 1.0, 1.0);
    }
    part_first[PART_SHELL] = (int)target->base.size();
    mesh_sphere(10.0, 12, 12, shell_sx, shell_sy, shell_sz);
    part_first[PART_TAIL] = (int)target->base.size();
    mesh_cone(1.0, 6.0, 8, 4, -8.0, shell_sx, shell_sy, shell_sz);
    part_first[N_PART] = (int)target->base.size();
    body_frame = body.base;
}

// The body in the turtle's frame (already translated and turned), head
// bobbing by delta2 and legs swinging by delta1.
void draw_body_mesh(double delta1, double delta2) {
    if (body.base.empty()) build_turtle_mesh();
    const double offset[PART_SHELL][3] = {
        {11.5, 0.0, delta2},       // head
        {delta1 - 5.0, 8.0, -2.0}, // legs
        {5.0 - delta1, 8.0, -2.0}, {-5.0 - delta1, -8.0, -2.0}, {5.0 + delta1, -8.0, -2.0},
    };
    for (int part = PART_HEAD; part < PART_SHELL; part++) {
        for (int k = part_first[part]; k < part_first[part + 1]; k++) {
            body_frame[k].x = (GLfloat)(body.base[k].x + offset[part][0]);
            body_frame[k].y = (GLfloat)(body.base[k].y + offset[part][1]);
            body_frame[k].z = (GLfloat)(body.base[k].z + offset[part][2]);
        }
    }
    // NOTE: every solid of the body is closed and wound counter-clockwise
    // seen from outside, so its back faces are always hidden behind its
    // front faces; culling them changes no pixel and halves the work.
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glEnable(GL_NORMALIZE);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_NORMAL_ARRAY);
    glNormalPointer(GL_FLOAT, sizeof(mesh_vertex), &body_frame[0].nx);
    glVertexPointer(3, GL_FLOAT, sizeof(mesh_vertex), &body_frame[0].x);
    glDrawElements(GL_TRIANGLES, (GLsizei)body.index.size(), GL_UNSIGNED_SHORT, body.index.data());
    glDisableClientState(GL_NORMAL_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
    glDisable(GL_NORMALIZE);
    glDisable(GL_CULL_FACE);
}

// ================================================================== solids
//
// Bullets and blasts: spheres of the same make as the turtle's, each made
// once into a display list. Drawn with their back faces, so that a
// translucent blast shows its far side through its near one.

static GLuint solid_lists = 0; // first of N_SOLID lists; 0 until made

static void draw_solid_now(int kind) {
    static struct mesh sphere[N_SOLID];
    struct mesh* m = &sphere[kind];
    if (m->base.empty()) {
        target = m;
        mesh_sphere(kind == SOLID_BULLET ? BULLET_RADIUS : BLAST_RADIUS, 16, 16, 1.0, 1.0, 1.0);
        target = &body;
    }
    glBegin(GL_TRIANGLES);
    for (GLushort k : m->index) {
        const mesh_vertex& v = m->base[k];
        glNormal3f(v.nx, v.ny, v.nz);
        glVertex3f(v.x, v.y, v.z);
    }
    glEnd();
}

void draw_solid(int kind) {
    static int tried = 0;
    if (!tried) {
        tried = 1;
        solid_lists = glGenLists(N_SOLID);
        for (int k = 0; solid_lists != 0 && k < N_SOLID; k++) {
            glNewList(solid_lists + k, GL_COMPILE);
            draw_solid_now(k);
            glEndList();
        }
    }
    // NOTE: should the GL have no lists to give, the solids are drawn directly
    if (solid_lists != 0)
        glCallList(solid_lists + kind);
    else
        draw_solid_now(kind);
}
