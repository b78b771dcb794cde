#!/usr/bin/env python3
"""Mail clients for the mail service's tests, built on Python's smtplib and
plain sockets. Each command prints one JSON document on stdout.

  send PORT FROM TO[,TO...] FILE           smtplib: sendmail of FILE's bytes (PORT may be
                                             a Unix socket's path: LMTP)
  talk PORT STEPS_JSON                       raw socket: [[text, replies, pause], ...]
                                             sends text (after pause seconds, or once the file
                                             named by pause exists, if given) and
                                             reads that many final replies; -1: until closed;
                                             prints "greeted" and "step N" on stderr on the way
  parallel PORT N FROM TO SUBJECT            N smtplib clients at once, body "client K"
"""
import json
import os
import smtplib
import socket
import sys
import threading
import time


def send(port, sender, recipients, path):
    with open(path, "rb") as f:
        message = f.read()
    if isinstance(port, str):  # a Unix socket's path
        client = smtplib.LMTP(port)
    else:
        client = smtplib.SMTP("127.0.0.1", port, timeout=30)
    try:
        refused = client.sendmail(sender, recipients.split(","), message)
        return {"ok": True, "refused": {k: v[0] for k, v in refused.items()}}
    except smtplib.SMTPRecipientsRefused as e:
        return {"ok": False, "refused": {k: v[0] for k, v in e.recipients.items()}}
    except smtplib.SMTPResponseException as e:
        return {"ok": False, "code": e.smtp_code, "text": e.smtp_error.decode(errors="replace")}
    finally:
        try:
            client.quit()
        except Exception:
            pass


def read_replies(sock, buffer, count):
    """Reads `count` final reply lines ("ddd text"); -1: until the server closes."""
    codes = []
    while count < 0 or len(codes) < count:
        while b"\n" not in buffer:
            chunk = sock.recv(65536)
            if not chunk:
                return codes, buffer, True
            buffer += chunk
        line, buffer = buffer.split(b"\n", 1)
        if len(line) >= 4 and line[3:4] == b" ":
            codes.append(int(line[:3]))
    return codes, buffer, False


def talk(port, steps):
    sock = socket.create_connection(("127.0.0.1", port), timeout=30)
    codes, buffer, closed = read_replies(sock, b"", 1)  # the greeting
    print("greeted", file=sys.stderr, flush=True)  # tests wait for this
    for step in steps:
        text, count = step[0], step[1]
        if len(step) > 2 and isinstance(step[2], str):  # a file the test makes when it may go on
            deadline = time.monotonic() + 60
            while not os.path.exists(step[2]) and time.monotonic() < deadline:
                time.sleep(0.01)
        elif len(step) > 2:
            time.sleep(step[2])
        if text:
            sock.sendall(text.encode("utf-8", "surrogateescape"))
        got, buffer, closed = read_replies(sock, buffer, count)
        codes += got
        print(f"step {len(codes)}", file=sys.stderr, flush=True)
        if closed:
            break
    sock.close()
    return {"codes": codes, "closed": closed}


def parallel(port, count, sender, recipient, subject):
    results = [None] * count

    def one(k):
        message = f"From: {sender}\r\nTo: {recipient}\r\nSubject: {subject}\r\n\r\nclient {k}\r\n".encode()
        for _ in range(50):  # a refused connection (the limit) is tried again
            try:
                with smtplib.SMTP("127.0.0.1", port, timeout=30) as c:
                    c.sendmail(sender, [recipient], message)
                    results[k] = "ok"
                    return
            except (smtplib.SMTPConnectError, smtplib.SMTPServerDisconnected):
                time.sleep(0.05)
            except Exception as e:
                results[k] = repr(e)
                return

    threads = [threading.Thread(target=one, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return {"results": results}


def main(argv):
    command, port = argv[1], argv[2] if argv[2].startswith("/") else int(argv[2])
    if command == "send":
        result = send(port, argv[3], argv[4], argv[5])
    elif command == "talk":
        result = talk(port, json.loads(argv[3]))
    elif command == "parallel":
        result = parallel(port, int(argv[3]), argv[4], argv[5], argv[6])
    else:
        raise SystemExit(f"unknown command {command}")
    print(json.dumps(result))


if __name__ == "__main__":
    main(sys.argv)
