"""Client side of bench/compare.sh: lays out the shared folder, drives the workloads
against every server (one request per connection, as the daemon serves them) and
plays a desktop browser opening a large folder. Figures go out as tab-separated rows
for bench/davreport.py.

    davbench.py layout WORK
    davbench.py measure --data DIR --out FILE [--reps N] NAME=PORT[/PREFIX]...
    davbench.py firstbyte --out FILE [--rounds N] NAME=PORT[/PREFIX]...
    davbench.py browse PORT PREFIX TRACE
    davbench.py link PORT PREFIX TRACE PID

Each request goes out in one write on a fresh socket and its answer is read to the end
of the connection, so the client adds little: on 1 KiB GETs about 20 microseconds a
request more than wrk, whose runs (W4w, W5w) take Python out of the way."""
import math
import os
import plistlib
import signal
import socket
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PROPS = (b'<?xml version="1.0" encoding="utf-8"?><D:propfind xmlns:D="DAV:"><D:prop>'
         b'<D:resourcetype/><D:getlastmodified/><D:getcontentlength/></D:prop></D:propfind>')
BIG = 64 << 20
SMALL = 1024
FOLDERS = (100, 1000, 10000)  # W1 at three sizes shows how a listing grows
BUFFER = bytearray(1 << 20)
OK = {200, 201, 204, 207}
# Each repetition of a workload goes in this many slices, the servers taking turns
# at every slice (see measure).
SLICES = 10


def member(n, i):
    return f'dir{n}/f{i % n:05d}.bin'


def layout(work):
    """The shared folder (the device's fs/) and the slow device of the browser table."""
    fs = os.path.join(work, 'device', 'fs')
    for n in FOLDERS:
        os.makedirs(os.path.join(fs, f'dir{n}'))
        for i in range(n):
            with open(os.path.join(fs, member(n, i)), 'wb') as f:
                f.write(os.urandom(SMALL))
    with open(os.path.join(fs, 'big.bin'), 'wb') as f:
        f.write(os.urandom(BIG))
    slow = os.path.join(work, 'slow', 'fs', 'dir1000')
    os.makedirs(slow)
    for i in range(1000):
        with open(os.path.join(slow, f'f{i:05d}.bin'), 'wb') as f:
            f.write(os.urandom(SMALL))
    for device, latency in (('device', 0), ('slow', 2000)):
        with open(os.path.join(work, device, 'device.plist'), 'wb') as f:
            plistlib.dump({'LatencyMicroseconds': latency}, f)
    link_layout(work)


def link_layout(work):
    """A device behind a USB-like link: 2 ms a call, 2 MB/s for file contents."""
    fs = os.path.join(work, 'link', 'fs')
    os.makedirs(fs)
    with open(os.path.join(fs, 'big.bin'), 'wb') as f:
        f.write(os.urandom(BIG))
    with open(os.path.join(work, 'link', 'device.plist'), 'wb') as f:
        plistlib.dump({'LatencyMicroseconds': 2000, 'BytesPerSecond': 2000000}, f)


def head(method, path, headers=(), length=None):
    lines = [f'{method} {path} HTTP/1.1', 'Host: 127.0.0.1', 'Connection: close']
    lines += [f'{name}: {value}' for name, value in headers]
    if length is not None:
        lines.append(f'Content-Length: {length}')
    return ('\r\n'.join(lines) + '\r\n\r\n').encode()


def propfind(path, depth):
    return head('PROPFIND', path, [('Depth', depth), ('Content-Type', 'text/xml')],
                len(PROPS)) + PROPS


def exchange(port, data, body=None):
    """One request on a fresh connection; returns the status and the bytes answered."""
    status, total, _ = timed_exchange(port, data, body)
    return status, total


def timed_exchange(port, data, body=None):
    """exchange, and the microseconds from the request's sending (once connected) to
    the first byte of its answer."""
    with socket.create_connection(('127.0.0.1', port)) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        start = time.perf_counter_ns()
        s.sendall(data)
        if body is not None:
            s.sendall(body)
        got = bytearray()
        while len(got) < 12:
            n = s.recv_into(BUFFER)
            if n == 0:
                raise RuntimeError(f'connection closed after {bytes(got)!r}')
            if not got:
                micros = (time.perf_counter_ns() - start) / 1000
            got += BUFFER[:n]
        total = len(got)
        while n:
            n = s.recv_into(BUFFER)
            total += n
    return int(got[9:12]), total, micros


class Server:
    def __init__(self, spec):
        self.name, address = spec.split('=')
        port, _, prefix = address.partition('/')
        self.port, self.prefix = int(port), '/' + prefix if prefix else ''
        # Each server writes into a folder of its own, made before it started (a
        # server that caches listings would not know a later one).
        self.folder = f'put-{self.name}'


def plans(server, big):
    """Each workload: (name, list of (request bytes, body or None, least answer size))."""
    p, put = server.prefix, f'{server.prefix}/{server.folder}'
    plan = {}
    for n in FOLDERS:
        plan[f'W1 {n}'] = [(propfind(f'{p}/dir{n}/', '1'), None, n * 20)] * 50
    plan['W2'] = [(head('GET', f'{p}/big.bin'), None, BIG)] * 5
    plan['W3'] = [(head('PUT', f'{put}/big{i}.bin', length=BIG), big, 0) for i in range(5)]
    plan['W4'] = [(head('GET', f'{p}/{member(1000, i)}'), None, SMALL) for i in range(2000)]
    plan['W5'] = [(propfind(f'{p}/{member(1000, i)}', '0'), None, 100) for i in range(500)]
    small = os.urandom(SMALL)
    plan['W6'] = ([(head('PUT', f'{put}/s{i}.bin', length=SMALL) + small, None, 0)
                   for i in range(200)] +
                  [(head('DELETE', f'{put}/s{i}.bin'), None, 0) for i in range(200)])
    return plan


def run_plan(server, workload, requests):
    start = time.monotonic()
    for data, body, least in requests:
        try:
            status, size = exchange(server.port, data, body)
        except OSError as e:
            sys.exit(f'{server.name} {workload}: {e} on {data[:80]!r}')
        if status not in OK or size < least:
            sys.exit(f'{server.name} {workload}: status {status}, {size} bytes answered')
    return time.monotonic() - start, len(requests)


def wrk_requests(workload):
    return 2000 if workload == 'W4w' else 500


def run_wrk(server, workload, first, count):
    """W4w and W5w: the same small requests through wrk, one connection at a time;
    `count` of them from the `first`, as one run of all would send them."""
    method, args = ('GET', []) if workload == 'W4w' else ('PROPFIND', [PROPS])
    wrk = subprocess.Popen(
        ['wrk', '-c1', '-t1', '-d300s', '--timeout', '10s', '-s', os.path.join(HERE, 'wrk.lua'),
         f'http://127.0.0.1:{server.port}', '--', method, str(count),
         f'{server.prefix}/dir1000/', str(first), *args], stdout=subprocess.PIPE, text=True)
    lines = []
    for line in wrk.stdout:  # wrk runs out its time unless told to stop
        lines.append(line)
        if line.startswith('wrk-count '):
            wrk.send_signal(signal.SIGINT)
    wrk.wait()
    words = {line.split()[0]: line.split()[1:] for line in lines}
    answered, micros, failed = map(int, words.get('wrk-count', ['0', '0', '1']))
    if failed or words.get('wrk-errors') != ['0']:
        sys.exit(f'{server.name} {workload}: wrk reported {"".join(lines)!r}')
    return micros / 1e6, answered


def turns(servers, rep):
    """The order of repetition `rep`: stepping through the list by k from a rotating
    start, so that over n - 1 repetitions (n prime) each server follows every other
    once."""
    n = len(servers)
    k = rep % max(1, n - 1) + 1
    if math.gcd(k, n) != 1:
        k = 1
    return [servers[(p * k + rep) % n] for p in range(n)]


def measure(args):
    opts, specs = options(args, ('--data', '--out', '--reps'))
    data, reps = opts['--data'], int(opts.get('--reps', 3))
    with open(os.path.join(data, 'big.bin'), 'rb') as f:
        big = f.read()
    servers = [Server(spec) for spec in specs]
    plan = {s.name: plans(s, big) for s in servers}
    order = [f'W1 {n}' for n in FOLDERS] + ['W2', 'W3', 'W4', 'W4w', 'W5', 'W5w', 'W6']
    with open(opts['--out'], 'w') as out:
        # Servers take turns at every tenth of a repetition, so that the machine's
        # slow and fast spells fall on all of them alike: with a whole repetition
        # at a time, one server's W4 took 0.20 s in one repetition and 0.25 s in
        # another. The order changes between repetitions so that each server follows
        # a different one: whoever follows rclone runs up to a third slower for
        # some seconds (nginx's W4 0.237 s after it, 0.166 s after another), and in
        # a fixed order that was always the same server.
        for workload in order:
            size = wrk_requests(workload) if workload.endswith('w') else len(plan[servers[0].name][workload])
            cuts = [size * k // SLICES for k in range(SLICES + 1)]
            slices = [(a, b) for a, b in zip(cuts, cuts[1:]) if b > a]
            for rep in range(reps):
                took = {s.name: [0.0, 0] for s in servers}
                for first, end in slices:
                    for s in turns(servers, rep):
                        # What the last server wrote (and removed) reaches the disk
                        # before the next one's uploads are timed, not during them.
                        if workload == 'W3':
                            os.sync()
                        if workload.endswith('w'):
                            seconds, count = run_wrk(s, workload, first, end - first)
                        else:
                            seconds, count = run_plan(s, workload, plan[s.name][workload][first:end])
                        took[s.name][0] += seconds
                        took[s.name][1] += count
                        if workload == 'W3':
                            for i in range(first, end):
                                os.remove(os.path.join(data, s.folder, f'big{i}.bin'))
                for s in servers:
                    seconds, count = took[s.name]
                    out.write(f'{workload}\t{s.name}\t{rep}\t{seconds:.6f}\t{count}\n')
                out.flush()
            print(f'  {workload} done', file=sys.stderr)


# What a small GET's time is made of: an answer that touches no file, the same file
# asked for again (a server that keeps what it last read needs no file call), and
# W4's files in turn (ours then makes the six device calls of a GET each time).
FIRST_BYTE_KINDS = (('OPTIONS of the top folder', lambda s, i: head('OPTIONS', f'{s.prefix}/')),
                    ('GET of the same 1 KiB file again', lambda s, i: head('GET', f'{s.prefix}/{member(1000, 7)}')),
                    ('GET of 1 KiB files in turn (as W4)', lambda s, i: head('GET', f'{s.prefix}/{member(1000, i)}')))


def firstbyte(args):
    """Rows of (kind, server, median microseconds to the first answer byte). Every
    round sends one request of a kind to each server, so that the machine's fast and
    slow spells fall on all of them alike, in the turns of measure: in one fixed
    cycle ours always followed rclone, and its OPTIONS took 91 microseconds, not 58."""
    opts, specs = options(args, ('--out', '--rounds'))
    servers, rounds = [Server(spec) for spec in specs], int(opts.get('--rounds', 1000))
    with open(opts['--out'], 'w') as out:
        for kind, request in FIRST_BYTE_KINDS:
            took = {s.name: [] for s in servers}
            for i in range(rounds):
                for s in turns(servers, i):
                    status, _, micros = timed_exchange(s.port, request(s, i))
                    if status not in OK:
                        sys.exit(f'{s.name} {kind}: status {status}')
                    took[s.name].append(micros)
            for s in servers:
                out.write(f'{kind}\t{s.name}\t{statistics.median(took[s.name]):.1f}\n')


def browse(args):
    """A desktop browser opening a 1,000-file folder: one row per step with its time
    and the device calls the daemon's trace gained meanwhile."""
    port, prefix, trace = int(args[0]), args[1], args[2]
    folder = f'{prefix}/dir1000/'
    steps = [('PROPFIND depth 0 of the folder', [propfind(folder, '0')]),
             ('PROPFIND depth 1 of the folder', [propfind(folder, '1')]),
             ('PROPFIND depth 0 of ten members',
              [propfind(f'{folder}f{i:05d}.bin', '0') for i in range(10)]),
             ('GET of one member', [head('GET', f'{folder}f00003.bin')]),
             ('the same GET again', [head('GET', f'{folder}f00003.bin')])]
    for name, requests in steps:
        before = calls(trace)
        start = time.monotonic()
        for data in requests:
            status, _ = exchange(port, data)
            if status not in OK:
                sys.exit(f'browse: {name}: status {status}')
        seconds = time.monotonic() - start
        made = calls(trace)[len(before):]
        names = ', '.join(f'{c} x{made.count(c)}' for c in dict.fromkeys(made))
        print(f'{name}\t{len(requests)}\t{seconds:.6f}\t{len(made)}\t{names}')


def link(args):
    """A 64 MiB GET and a 64 MiB PUT over the slow link: rows as browse's, the GET
    split at its first body byte; the daemon's peak memory in the last column."""
    port, prefix, trace, pid = int(args[0]), args[1], args[2], int(args[3])

    def peak():
        with open(f'/proc/{pid}/status') as f:
            kib = next(int(line.split()[1]) for line in f if line.startswith('VmHWM:'))
        return f'peak resident {kib / 1024:.1f} MiB'

    before = calls(trace)
    start = time.monotonic()
    first = None
    with socket.create_connection(('127.0.0.1', port)) as s:
        s.sendall(head('GET', f'{prefix}/big.bin'))
        got = bytearray()
        while True:
            n = s.recv_into(BUFFER)
            if n == 0:
                break
            if first is None:
                got += BUFFER[:n]
                at = got.find(b'\r\n\r\n')
                if at >= 0 and len(got) > at + 4:
                    first = time.monotonic() - start
    whole = time.monotonic() - start
    if first is None or not got.startswith(b'HTTP/1.1 200'):
        sys.exit(f'link: GET answered {bytes(got[:40])!r}')
    made = len(calls(trace)) - len(before)
    print(f'GET of 64 MiB at 2 MB/s: first byte\t1\t{first:.6f}\t{made}\t{peak()}')
    print(f'GET of 64 MiB at 2 MB/s: whole\t1\t{whole:.6f}\t{made}\t{peak()}')

    body = os.urandom(BIG)
    before = calls(trace)
    start = time.monotonic()
    status, _ = exchange(port, head('PUT', f'{prefix}/copy.bin', length=len(body)), body)
    if status not in OK:
        sys.exit(f'link: PUT: status {status}')
    made = len(calls(trace)) - len(before)
    print(f'PUT of 64 MiB at 2 MB/s\t1\t{time.monotonic() - start:.6f}\t{made}\t{peak()}')


def calls(trace):
    with open(trace) as f:
        return [line.split('\t')[0].strip() for line in f if line.strip()]


def options(args, names):
    opts, rest = {}, []
    it = iter(args)
    for a in it:
        if a in names:
            opts[a] = next(it)
        else:
            rest.append(a)
    return opts, rest


if __name__ == '__main__':
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    commands = {'layout': lambda a: layout(a[0]), 'link-layout': lambda a: link_layout(a[0]), 'measure': measure,
                'firstbyte': firstbyte, 'browse': browse, 'link': link}
    commands[sys.argv[1]](sys.argv[2:])
