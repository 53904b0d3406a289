// httpd.h -- the HTTP viewer server: listener, connections, requests.
#pragma once

constexpr int HTTP_REQ_MAX = 2048; // one request is one read of at most this
constexpr int HTTP_IDLE_SECONDS = 60;

extern int httpsock;

int start_httpd(int port);
void* httpd(void* arg);
void* handle_connection(void* arg);
int handle_request(int fd);
int send_data(int fd, const char* out);
