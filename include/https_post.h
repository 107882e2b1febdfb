/*
 * The request layer: every conversation with the management server (HTTPS,
 * port 443) and with the host agents (plain HTTP) goes through here.
 *
 * Each request is one exchange on a connection of its own: connect, send the
 * whole request, read the reply, close. Nothing is reused between requests.
 * A reply ends with its Content-Length, with its last chunk (chunked bodies
 * are decoded), or, when its head gives neither, when the peer closes; the
 * reader stops there even when the server keeps the connection open. Beyond
 * that the head is not interpreted: the HTTPS operations hand back the reply
 * body, the plain-HTTP ones the last non-empty line of the reply; callers
 * judge the text themselves.
 *
 * Every connect, TLS handshake, send and receive waits at most
 * ORU_NET_TIMEOUT seconds (1..3600, default 60, read when the step starts);
 * expiry fails the step with the code its other failures give.
 *
 * The six request operations return oruError codes as int (ORU_OK on
 * success). A null authorization value is sent as the text "(null)".
 * TLS certificates are not verified (platforms run with self-signed ones)
 * unless ORU_TLS_CA_FILE names a PEM file of trusted roots or ORU_TLS_VERIFY
 * is 1 (the system's roots): then the HTTPS operations verify the chain and
 * that the certificate names host (IP address or DNS name), and a failure
 * gives ORU_E_SEND before any request byte is sent (ORU_E_SSL when the
 * roots cannot be read). When a step timed out or a certificate was refused,
 * the reason is also copied into nbderror.
 */
#ifndef HTTPS_POST_H
#define HTTPS_POST_H

#include <pthread.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ssl_st SSL;

/* The fixed header lines of every HTTPS request, each ending in CR LF. */
extern const char *HttpsPostHeaders;

/* Lets one HTTPS exchange at a time run in the process: held from the TLS
 * set-up of a request until its connection is released. */
extern pthread_mutex_t tamb_mutex;

/* Connects an IPv4 stream socket to server (host name or dotted address) and
 * port. Returns the descriptor, or -1 no socket, -2 the name did not resolve,
 * -3 the connection failed or timed out. Thread-safe. */
int client_connect_tcp(char *server, int port);

/* Request builders. Write the request text, NUL-terminated, into data and
 * return its length (-1 when memory runs out). data must have room for the
 * whole text plus its terminator.
 *   post_pack / put_pack: "POST|PUT page HTTP/1.0", "Host: host:port", the
 *     HttpsPostHeaders block, "Authorization: aut", "Content-Length: len",
 *     a blank line, then content.
 *   get_pack / delete_pack: "GET|DELETE page HTTP/1.1", "Host: host", the
 *     block, "Authorization: aut", a blank line; len and content are unused. */
int post_pack(char *host, int port, char *page, char *aut, int len, char *content, char *data);
int put_pack(char *host, int port, char *page, char *aut, int len, char *content, char *data);
int get_pack(char *host, int port, char *page, char *aut, int len, char *content, char *data);
int delete_pack(char *host, int port, char *page, char *aut, int len, char *content, char *data);

/* A TLS client object bound to the connected socket sockfd (no
 * verification), or NULL. The caller frees it with SSL_free. */
SSL *ssl_init(int sockfd);

/* Runs the handshake and writes size bytes of data, each within the time
 * limit. Returns size, -1 when the handshake failed or timed out, -2 when a
 * write failed or timed out. */
int ssl_send(SSL *ssl, char *data, int size);

/* Reads one reply and stores its body (decoded when chunked) into buff,
 * at most size bytes; stops when the reply is complete, the peer closes or
 * size bytes are stored, and adds no terminator. The head ends after four
 * CR/LF bytes in a row in any mix, or at a blank line. Returns the body
 * bytes stored; -1 when ssl is NULL or the reply did not come in time. */
int ssl_recv(SSL *ssl, char *buff, int size);

/* HTTPS requests to host:port. The reply body (decoded, at most bsize
 * bytes, not terminated) lands in buff: pass a zero-filled buffer of
 * bsize + 1 bytes.
 * ORU_E_MALLOC, ORU_E_TCP, ORU_E_SSL, ORU_E_SEND (handshake or write),
 * ORU_E_RECV on failure. */
int https_post(char *host, int port, char *url, char *data, int dsize, char *aut, char *buff,
               int bsize);
int https_put(char *host, int port, char *url, char *data, int dsize, char *aut, char *buff,
              int bsize);
int https_get(char *host, int port, char *url, char *aut, char *buff, int bsize);
int https_delete(char *host, int port, char *url, char *aut, char *buff, int bsize);

/* Plain-HTTP requests to ip (dotted IPv4 only, no name resolution):port. The
 * reply is read until it is complete, the peer closes, or bufsize - 1 bytes
 * (head and decoded body) are in; buf (bufsize bytes) then holds the last
 * non-empty line of head and body, terminated. A timed-out receive gives
 * ORU_E_RECV. ORU_E_TCP (no socket, or
 * ip not dotted), ORU_E_CONNECT_FAIL, ORU_E_SEND, ORU_E_RECV (nothing
 * received; buf untouched). */
int http_post(char *ip, int port, char *url, char *body, char *aut, char *buf, int bufsize);
int http_get(char *ip, int port, char *url, char *aut, char *buf, int bufsize);

#ifdef __cplusplus
}
#endif

#endif /* HTTPS_POST_H */
