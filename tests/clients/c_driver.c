/* c_driver.c -- quillmere.h for test_c.py, one tab-separated request a line:
 * raw CMD, call NAME ARGS (JSON result), hex LIMIT TEXT, timeout MS; a failed
 * call answers "ERROR code message". */
#define QUILLMERE_IMPLEMENTATION
#include "../../clients/c/quillmere.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static qm_turtle t;

/* Runs the Python-named call NAME with numbers a[] or text s; the
 * library's code (< 0 on failure). */
static int call(const char* name, const double* a, const char* s) {
    double x, y;
    int i, j, k, rc;
    unsigned u;
    unsigned long ul;
    char board[200];
#define IS(n) (strcmp(name, n) == 0)
#define VERB(n, e) \
    if (IS(n)) return (rc = (e)) >= 0 ? printf(rc == QM_OK ? "true\n" : "false\n"), rc : rc;
#define SHOW(test, e, ...) \
    if (test) return (rc = (e)) >= 0 ? printf(__VA_ARGS__), rc : rc;
    VERB("reset", qm_reset(&t)) VERB("forward", qm_forward(&t, a[0]))
    VERB("fd", qm_forward(&t, a[0])) VERB("back", qm_back(&t, a[0]))
    VERB("left", qm_left(&t, a[0])) VERB("right", qm_right(&t, a[0]))
    VERB("setheading", qm_setheading(&t, a[0])) VERB("goto", qm_goto(&t, a[0], a[1]))
    VERB("rjump", qm_rjump(&t, a[0], a[1])) VERB("home", qm_home(&t))
    VERB("pendown", qm_pen_down(&t)) VERB("penup", qm_pen_up(&t))
    VERB("pencolor", qm_color(&t, a[0], a[1], a[2])) VERB("pensize", qm_width(&t, a[0]))
    VERB("brush_mode", qm_mode(&t, 'B')) VERB("line_mode", qm_mode(&t, 0))
    VERB("write", qm_print(&t, s)) VERB("name", qm_name(&t, s)) VERB("say", qm_say(&t, s))
    VERB("team", qm_team(&t, (int)a[0])) VERB("finder_range", qm_finder_range(&t, a[0]))
    VERB("drop_coin", qm_drop_coin(&t)) VERB("borrow_coins", qm_borrow_coins(&t))
    VERB("pick_coin", qm_pick_coin(&t)) VERB("fire", qm_fire(&t)) VERB("robot", qm_robot(&t))
    VERB("disable_events", qm_disable_events(&t, (unsigned)a[0]))
    VERB("enable_events", qm_enable_events(&t, (unsigned)a[0]))
    SHOW(IS("position") || IS("pos"), qm_position(&t, &x, &y), "[%.6f, %.6f]\n", x, y)
    SHOW(IS("xcor"), qm_position(&t, &x, &y), "%.6f\n", x)
    SHOW(IS("ycor"), qm_position(&t, &x, &y), "%.6f\n", y)
    SHOW(IS("heading"), qm_heading(&t, &x), "%.6f\n", x)
    SHOW(IS("board"), qm_board(&t, &u, board, sizeof board), "[%u, \"%s\"]\n", u, board)
    SHOW(IS("sonar"), qm_sonar(&t, &i, &j, &k), "[%d, %d, %d]\n", i, j, k)
    SHOW(IS("finder"), qm_finder(&t, &i, &j), "[%d, %d]\n", i, j)
    SHOW(IS("alive"), qm_alive(&t, &i), "%s\n", i ? "true" : "false")
    SHOW(IS("ticks"), qm_ticks(&t, &ul), "%lu\n", ul)
    SHOW(IS("my_team"), qm_my_team(&t, &i), "%d\n", i)
    SHOW(IS("score"), qm_score(&t, &i), "%d\n", i)
    SHOW(IS("n_turtles"), qm_n_turtles(&t, &i), "%d\n", i)
    SHOW(IS("coins_carried"), qm_coins_carried(&t, &i), "%d\n", i)
    SHOW(IS("coins_near"), qm_coins_near(&t, &i), "%d\n", i)
    if (IS("radar")) {
        if ((rc = qm_radar(&t, (int)a[0], &x, &i)) == QM_OK) printf("[%.6f, %d]\n", x, i);
        if (rc == QM_REFUSED) printf("null\n");
        return rc;
    }
    printf("no such call: %s\n", name);
    return 0;
}

int main(void) {
    char line[2048];
    int connected = qm_connect(&t, NULL, 0);
    while (fgets(line, sizeof line, stdin)) {
        char* f[8] = {0};
        int n = 0, rc = 0;
        line[strcspn(line, "\n")] = '\0';
        for (char* p = strtok(line, "\t"); p && n < 8; p = strtok(NULL, "\t")) f[n++] = p;
        if (n >= 3 && strcmp(f[0], "hex") == 0) {
            char hex[600];
            qm_to_hex(f[2], (size_t)atoi(f[1]), hex, sizeof hex);
            printf("%s\n", hex);
        } else if (n >= 2 && strcmp(f[0], "timeout") == 0) {
            t.timeout_ms = atoi(f[1]);
            printf("ok\n");
        } else if ((rc = connected) >= 0 && n >= 2 && strcmp(f[0], "raw") == 0) {
            if ((rc = qm_command(&t, f[1], NULL)) >= 0) printf("%s\n", t.last.line);
        } else if (rc >= 0 && n >= 2) {
            double a[3] = {0, 0, 0};
            for (int i = 0; i < 3 && i + 2 < n; i++) a[i] = atof(f[i + 2]);
            rc = call(f[1], a, n > 2 ? f[2] : "");
        }
        if (rc < 0) printf("ERROR %d %s\n", rc, qm_error(&t));
        fflush(stdout);
    }
    qm_close(&t);
    return 0;
}
