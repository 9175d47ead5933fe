"""Device-file cases on a real daemon, one fresh emulated device each: large GETs
(memory, first byte), uploads that fail, files past 4 GiB, caches after changes
made through the daemon and on the handheld, and the cost of a standard listing.
Prints one line per figure, to compare two builds of the daemon.

    device_cases.py [WEBDAV]       (default build/bin/webdav; loopback only)"""
import os
import plistlib
import re
import socket
import subprocess
import sys
import tempfile
import time

WEBDAV = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else 'build/bin/webdav')


class Daemon:
    def __init__(self, files=None, settings=None, sparse=None, env=None):
        self.work = tempfile.mkdtemp(prefix='device-cases-')
        self.fs = os.path.join(self.work, 'device', 'fs')
        os.makedirs(self.fs)
        for name, data in (files or {}).items():
            path = os.path.join(self.fs, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, 'wb') as f:
                f.write(data)
        for name, size in (sparse or {}).items():
            with open(os.path.join(self.fs, name), 'wb') as f:
                f.truncate(size)
        if settings:
            with open(os.path.join(self.work, 'device', 'device.plist'), 'wb') as f:
                plistlib.dump(settings, f)
        self.trace = os.path.join(self.work, 'trace')
        home = os.path.join(self.work, 'home')
        os.makedirs(home)
        full = dict(os.environ, HOME=home, PAVRIX_DEVICE=os.path.join(self.work, 'device'),
                    PAVRIX_DEVICE_TRACE=self.trace, DBUS_SESSION_BUS_ADDRESS='unix:path=/nonexistent')
        full.pop('PAVRIX_STANDARD_DAV', None)
        full.update(env or {})
        self.stderr = open(os.path.join(self.work, 'stderr'), 'w+')
        self.proc = subprocess.Popen([WEBDAV], env=full, stderr=self.stderr)
        for _ in range(200):
            self.stderr.seek(0)
            m = re.search(r'listening on (\d+)', self.stderr.read())
            if m:
                self.port = int(m.group(1))
                return
            time.sleep(0.025)
        raise SystemExit('daemon did not start')

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        subprocess.run(['rm', '-rf', self.work])

    def peak_kib(self):
        with open(f'/proc/{self.proc.pid}/status') as f:
            return int(re.search(r'VmHWM:\s+(\d+)', f.read()).group(1))

    def calls(self):
        try:
            with open(self.trace) as f:
                return len(f.readlines())
        except FileNotFoundError:
            return 0

    def ask(self, raw, give_up_after_head=False):
        s = socket.create_connection(('127.0.0.1', self.port))
        s.sendall(raw)
        s.shutdown(socket.SHUT_WR)
        out = b''
        while True:
            piece = s.recv(1 << 20)
            if not piece:
                break
            out += piece
        s.close()
        while out.startswith(b'HTTP/1.1 100 Continue\r\n\r\n'):
            out = out[25:]
        head, _, body = out.partition(b'\r\n\r\n')
        status = int(head.split(b' ')[1]) if head else 0
        headers = dict(line.split(b': ', 1) for line in head.split(b'\r\n')[1:] if b': ' in line)
        return status, {k.decode().lower(): v.decode() for k, v in headers.items()}, body

    def fs_names(self):
        return sorted(os.listdir(self.fs))

    def read(self, name):
        with open(os.path.join(self.fs, name), 'rb') as f:
            return f.read()


def req(method, path, headers=(), body=b''):
    lines = [f'{method} {path} HTTP/1.1', 'Host: 127.0.0.1'] + [f'{k}: {v}' for k, v in headers]
    return ('\r\n'.join(lines) + '\r\n\r\n').encode() + body


def propfind(path, depth, body=None):
    body = body if body is not None else (
        b'<?xml version="1.0"?><D:propfind xmlns:D="DAV:"><D:prop><D:resourcetype/>'
        b'<D:getcontentlength/><D:getlastmodified/></D:prop></D:propfind>')
    return req('PROPFIND', path, [('Depth', depth), ('Content-Length', len(body))], body)


def lengths(body):
    return re.findall(rb'<ns0:getcontentlength>([^<]*)<', body)


def timed_get(d, path, limit):
    """Seconds to the first body byte and to the end (or to `limit` bytes)."""
    s = socket.create_connection(('127.0.0.1', d.port))
    start = time.monotonic()
    s.sendall(req('GET', path))
    head, first, got = b'', None, 0
    while True:
        piece = s.recv(1 << 20)
        if not piece:
            break
        if first is None:
            head += piece
            if b'\r\n\r\n' in head:
                rest = head.split(b'\r\n\r\n', 1)[1]
                if rest:
                    first = time.monotonic() - start
                got += len(rest)
        else:
            got += len(piece)
        if got >= limit:
            break
    s.close()
    return first, time.monotonic() - start, got


def case1():
    d = Daemon(sparse={'big.bin': 512 << 20})
    first, total, got = timed_get(d, '/vol/big.bin', 512 << 20)
    print(f'1. GET 512 MiB: first byte {first:.2f} s, whole {total:.2f} s, {got} bytes, peak {d.peak_kib() // 1024} MiB')
    d.stop()
    d = Daemon(sparse={'big.bin': 64 << 20}, settings={'LatencyMicroseconds': 2000, 'BytesPerSecond': 2000000})
    first, total, got = timed_get(d, '/vol/big.bin', 1 << 20)
    print(f'1. GET 64 MiB at 2 ms + 2 MB/s: first byte {first:.2f} s (link speed honoured only where the emulator has it)')
    d.stop()


def case2():
    doc = '/vol/a.txt'
    rows = [('chunked, first chunk line malformed', req('PUT', doc, [('Transfer-Encoding', 'chunked')], b'zz\r\nwxyz\r\n0\r\n\r\n')),
            ('Expect: 100-continue, client gives up', req('PUT', doc, [('Expect', '100-continue'), ('Content-Length', 5)])),
            ('body cut (10 announced, 3 sent)', req('PUT', doc, [('Content-Length', 10)], b'new')),
            ('body over the free space', req('PUT', doc, [('Content-Length', 600000)], b'new'))]
    for what, raw in rows:
        d = Daemon(files={'a.txt': b'old'}, settings={'StoreSize': 1000000, 'StoreFree': 500000})
        status, _, _ = d.ask(raw)
        print(f'2. PUT {what}: {status}, a.txt now {d.read("a.txt")!r}, fs/ holds {d.fs_names()}')
        d.stop()


def case3():
    d = Daemon(files={'small.txt': b'keep'}, sparse={'four.bin': (4 << 30) + 100, 'five.bin': (5 << 30) + 7})
    s = socket.create_connection(('127.0.0.1', d.port))
    s.sendall(req('GET', '/vol/four.bin'))
    head = b''
    while b'\r\n\r\n' not in head:
        piece = s.recv(65536)
        if not piece:
            break
        head += piece
    s.close()
    length = re.search(rb'Content-length: (\d+)', head)
    print(f'3. GET of a 4 GiB + 100 file: {head.split(b" ")[1].decode()}, '
          f'Content-length {length.group(1).decode() if length else None}')
    _, _, listing = d.ask(propfind('/vol/', '1'))
    _, _, after = d.ask(propfind('/vol/five.bin', '0'))
    print(f'3. 5 GiB + 7 = {(5 << 30) + 7}: listed as {lengths(listing)}, depth 0 after it {lengths(after)}')
    status, _, _ = d.ask(req('PUT', '/vol/small.txt', [('Content-Length', 4294967396)], b'data'))
    print(f'3. PUT announcing 4,294,967,396 bytes (4 sent): {status}, small.txt now {d.read("small.txt")!r}')
    d.stop()


def case4():
    d = Daemon(files={'a.txt': b'one', 'b.txt': b'bee'})
    d.ask(req('GET', '/vol/a.txt'))
    s1, _, _ = d.ask(req('PUT', '/vol/a.txt', [('Content-Length', 3)], b'two'))
    _, _, body = d.ask(req('GET', '/vol/a.txt'))
    print(f'4. GET, PUT "two" ({s1}), GET: {body!r}')
    s2, _, _ = d.ask(req('DELETE', '/vol/a.txt'))
    s3, _, body = d.ask(req('GET', '/vol/a.txt'))
    print(f'4. DELETE ({s2}), GET: {s3} {body[:20]!r}')
    d.ask(req('GET', '/vol/b.txt'))
    s4, _, _ = d.ask(req('MOVE', '/vol/b.txt', [('Destination', 'http://h/vol/c.txt')]))
    s5, _, body = d.ask(req('GET', '/vol/b.txt'))
    print(f'4. GET b, MOVE b to c ({s4}), GET b: {s5} {body[:20]!r}')
    d.stop()


def case5():
    d = Daemon(files={'d.txt': b'12345'})
    _, _, before = d.ask(propfind('/vol/d.txt', '0'))
    with open(os.path.join(d.fs, 'd.txt'), 'wb') as f:
        f.write(b'1234567')
    time.sleep(3.5)
    _, _, after = d.ask(propfind('/vol/d.txt', '0'))
    print(f'5. size {lengths(before)}, changed on the handheld to 7 bytes, 3.5 s later: {lengths(after)}')
    d.stop()


def case6():
    files = {f'Many/f{i:03d}.txt': b'x' for i in range(200)}
    d = Daemon(files=files, settings={'LatencyMicroseconds': 2000}, env={'PAVRIX_STANDARD_DAV': '1'})
    for what, body in (('allprop', b'<?xml version="1.0"?><D:propfind xmlns:D="DAV:"><D:allprop/></D:propfind>'),
                       ('empty body', b''),
                       ('named quota+quotaused', b'<?xml version="1.0"?><D:propfind xmlns:D="DAV:"><D:prop>'
                                                 b'<D:quota/><D:quotaused/></D:prop></D:propfind>')):
        before = d.calls()
        start = time.monotonic()
        status, _, _ = d.ask(propfind('/vol/Many/', '1', body))
        print(f'6. standard PROPFIND depth 1, 200 files, {what}: {status}, '
              f'{d.calls() - before} device calls, {time.monotonic() - start:.2f} s at 2 ms a call')
    d.stop()


if __name__ == '__main__':
    print(f'# {WEBDAV}')
    for case in (case1, case2, case3, case4, case5, case6):
        case()
