/* A C bot: draws a five-pointed star, then walks until its sonar feels
 * something and reports what its sensors say.
 *
 *   cc examples/c_bot.c -o c_bot && ./c_bot
 */
#define QUILLMERE_IMPLEMENTATION
#include "../clients/c/quillmere.h"

#include <stdio.h>
#include <stdlib.h>

/* Stops the program with the library's own words when the connection fails. */
static int check(qm_turtle* t, int rc) {
    if (rc < 0) {
        fprintf(stderr, "c_bot: %s\n", qm_error(t));
        qm_close(t);
        exit(1);
    }
    return rc;
}

int main(void) {
    qm_turtle t;
    /* NULL and 0: QMERE_HOST and QMERE_PORT, else 127.0.0.1:2222 */
    if (qm_connect(&t, NULL, 0) < 0) {
        fprintf(stderr, "c_bot: %s\n", qm_error(&t));
        return 1;
    }
    check(&t, qm_name(&t, "C bot"));
    check(&t, qm_color(&t, 1.0, 0.85, 0.1));
    check(&t, qm_width(&t, 2));
    check(&t, qm_pen_down(&t));
    for (int i = 0; i < 5; i++) { /* a star: five sides, 144 degrees apart */
        check(&t, qm_forward(&t, 90));
        check(&t, qm_right(&t, 144));
    }
    check(&t, qm_pen_up(&t));

    /* walk until the sonar feels something close (at most 300 steps) */
    int left = 0, front = 0, right = 0, steps = 0;
    while (steps < 300) {
        check(&t, qm_sonar(&t, &left, &front, &right));
        if (left || front || right) break;
        if (check(&t, qm_forward(&t, 2)) == QM_REFUSED) break; /* bumped */
        steps++;
    }
    double x, y, heading;
    check(&t, qm_position(&t, &x, &y));
    check(&t, qm_heading(&t, &heading));
    printf("star drawn; walked %d steps to (%.0f, %.0f) heading %.0f; sonar %d %d %d\n", steps, x,
           y, heading, left, front, right);
    if (t.events & QM_EV_BUMP_TURTLE) printf("on the way we bumped into a turtle\n");
    qm_close(&t);
    return 0;
}
