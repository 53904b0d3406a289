/* c_driver.c -- runs quillmere.h for test_c.py: one request a line on
 * standard input, one answer a line on standard output. Requests, fields
 * separated by tabs:
 *   raw CMD            -> the reply line
 *   call NAME ARGS...  -> the result as JSON (true/false for verbs)
 *   hex LIMIT TEXT     -> qm_to_hex of TEXT
 *   timeout MS         -> sets the reply time-out, answers "ok"
 * A failed connection answers "ERROR code message". Built both as C99 and
 * as C++17. */
#define QUILLMERE_IMPLEMENTATION
#include "../../clients/c/quillmere.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static qm_turtle t;

static int verb(int rc) {
    if (rc >= 0) printf("%s\n", rc == QM_OK ? "true" : "false");
    return rc;
}

/* Runs NAME with numeric arguments a[]; the library's code (< 0 on failure). */
static int call(const char* name, const double* a, const char* text) {
    double x, y;
    int i, j, k;
    unsigned u;
    unsigned long ul;
    char board[200];
    int rc;
#define IS(s) (strcmp(name, s) == 0)
    if (IS("reset")) return verb(qm_reset(&t));
    if (IS("forward") || IS("fd")) return verb(qm_forward(&t, a[0]));
    if (IS("back")) return verb(qm_back(&t, a[0]));
    if (IS("left")) return verb(qm_left(&t, a[0]));
    if (IS("right")) return verb(qm_right(&t, a[0]));
    if (IS("setheading")) return verb(qm_setheading(&t, a[0]));
    if (IS("goto")) return verb(qm_goto(&t, a[0], a[1]));
    if (IS("rjump")) return verb(qm_rjump(&t, a[0], a[1]));
    if (IS("home")) return verb(qm_home(&t));
    if (IS("pendown")) return verb(qm_pen_down(&t));
    if (IS("penup")) return verb(qm_pen_up(&t));
    if (IS("pencolor")) return verb(qm_color(&t, a[0], a[1], a[2]));
    if (IS("pensize")) return verb(qm_width(&t, a[0]));
    if (IS("brush_mode")) return verb(qm_mode(&t, 'B'));
    if (IS("line_mode")) return verb(qm_mode(&t, 0));
    if (IS("write")) return verb(qm_print(&t, text));
    if (IS("name")) return verb(qm_name(&t, text));
    if (IS("team")) return verb(qm_team(&t, (int)a[0]));
    if (IS("say")) return verb(qm_say(&t, text));
    if (IS("finder_range")) return verb(qm_finder_range(&t, a[0]));
    if (IS("drop_coin")) return verb(qm_drop_coin(&t));
    if (IS("borrow_coins")) return verb(qm_borrow_coins(&t));
    if (IS("pick_coin")) return verb(qm_pick_coin(&t));
    if (IS("disable_events")) return verb(qm_disable_events(&t, (unsigned)a[0]));
    if (IS("enable_events")) return verb(qm_enable_events(&t, (unsigned)a[0]));
    if (IS("fire")) return verb(qm_fire(&t));
    if (IS("robot")) return verb(qm_robot(&t));
    if (IS("position") || IS("pos") || IS("xcor") || IS("ycor")) {
        if ((rc = qm_position(&t, &x, &y)) < 0) return rc;
        if (IS("xcor"))
            printf("%.6f\n", x);
        else if (IS("ycor"))
            printf("%.6f\n", y);
        else
            printf("[%.6f, %.6f]\n", x, y);
        return rc;
    }
    if (IS("heading")) {
        if ((rc = qm_heading(&t, &x)) >= 0) printf("%.6f\n", x);
        return rc;
    }
    if (IS("board")) {
        if ((rc = qm_board(&t, &u, board, sizeof board)) >= 0) printf("[%u, \"%s\"]\n", u, board);
        return rc;
    }
    if (IS("sonar")) {
        if ((rc = qm_sonar(&t, &i, &j, &k)) >= 0) printf("[%d, %d, %d]\n", i, j, k);
        return rc;
    }
    if (IS("finder")) {
        if ((rc = qm_finder(&t, &i, &j)) >= 0) printf("[%d, %d]\n", i, j);
        return rc;
    }
    if (IS("radar")) {
        if ((rc = qm_radar(&t, (int)a[0], &x, &i)) == QM_OK)
            printf("[%.6f, %d]\n", x, i);
        else if (rc == QM_REFUSED)
            printf("null\n");
        return rc;
    }
    if (IS("alive")) {
        if ((rc = qm_alive(&t, &i)) >= 0) printf("%s\n", i ? "true" : "false");
        return rc;
    }
    if (IS("ticks")) {
        if ((rc = qm_ticks(&t, &ul)) >= 0) printf("%lu\n", ul);
        return rc;
    }
    int (*counts[])(qm_turtle*, int*) = {qm_my_team, qm_score, qm_n_turtles, qm_coins_carried,
                                         qm_coins_near};
    const char* count_names[] = {"my_team", "score", "n_turtles", "coins_carried", "coins_near"};
    for (i = 0; i < 5; i++) {
        if (IS(count_names[i])) {
            if ((rc = counts[i](&t, &j)) >= 0) printf("%d\n", j);
            return rc;
        }
    }
#undef IS
    printf("no such call: %s\n", name);
    return 0;
}

int main(void) {
    char line[2048];
    int connected = qm_connect(&t, NULL, 0);
    while (fgets(line, sizeof line, stdin)) {
        line[strcspn(line, "\n")] = '\0';
        char* f[8] = {0};
        int n = 0;
        for (char* p = strtok(line, "\t"); p && n < 8; p = strtok(NULL, "\t"))
            f[n++] = p;
        int rc = 0;
        if (n >= 3 && strcmp(f[0], "hex") == 0) {
            char hex[600];
            qm_to_hex(f[2], (size_t)atoi(f[1]), hex, sizeof hex);
            printf("%s\n", hex);
        } else if (n >= 2 && strcmp(f[0], "timeout") == 0) {
            t.timeout_ms = atoi(f[1]);
            printf("ok\n");
        } else if (connected < 0) {
            rc = connected;
        } else if (n >= 2 && strcmp(f[0], "raw") == 0) {
            rc = qm_command(&t, f[1], NULL);
            if (rc >= 0) printf("%s\n", t.last.line);
        } else if (n >= 2 && strcmp(f[0], "call") == 0) {
            double a[3] = {0, 0, 0};
            for (int i = 0; i < 3 && i + 2 < n; i++)
                a[i] = atof(f[i + 2]);
            rc = call(f[1], a, n > 2 ? f[2] : "");
        }
        if (rc < 0) printf("ERROR %d %s\n", rc, qm_error(&t));
        fflush(stdout);
    }
    qm_close(&t);
    return 0;
}
