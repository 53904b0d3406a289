// httpd.h -- the HTTP viewer server and the content it serves: the page,
// the JSON feeds, the built-in images and the viewer scripts.
#pragma once

constexpr int HTTP_REQ_MAX = 2048;   // one request is one read of at most this
constexpr int HTTP_IDLE_SECONDS = 60;
constexpr int MAX_JSCRIPT = 10;

struct container {
    int mimetype; // 1 HTML, 2 PNG, 3 CSS, 4 JSON, 5 JavaScript, other: plain text
    unsigned char* data;
    int length;
    int malloced;
};

extern int httpsock;

int start_httpd(int port);
void* httpd(void* arg);
void* handle_connection(void* arg);
int handle_request(int fd);
int send_data(int fd, const char* out);
int free_container(struct container* content);

struct container* generate_content(const char* uri);
struct container* generate_json_for_turtle();
struct container* generate_json_for_wall();
struct container* generate_json_for_coin();
struct container* generate_json_for_camera(int tid);
struct container* generate_png(int id);
int is_dec_number(const char* str);
void set_jscript_src(const char* str);
