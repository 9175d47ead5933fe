"""What hostile clients cost everybody else, measured against a daemon of its own on
loopback (a fresh HOME and an emulated device in a temporary folder).

    hostile_clients.py silent [--binary PATH] [--sockets N] [--timeout S]
    hostile_clients.py flood [--binary PATH] [--seconds S] [--flooders K]

silent: N connections that say nothing, then one GET; prints how long the GET took.
flood: K clients send endless heads (half of them unique 990-byte header lines, half
continuation lines), reconnecting whenever cut off, for S seconds; prints the
daemon's resident size each second (VmRSS) and its peak (VmHWM), how many heads were
answered 431, and how long a GET then takes. The binary defaults to build/bin/webdav."""
import argparse
import os
import plistlib
import shutil
import socket
import subprocess
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
GET = b'GET /Device/My%20Documents/b.txt HTTP/1.1\r\nHost: x\r\n\r\n'


class Daemon:
    def __init__(self, binary):
        self.work = tempfile.mkdtemp(prefix='hostile-')
        os.makedirs(os.path.join(self.work, 'device/fs/My Documents'))
        with open(os.path.join(self.work, 'device/fs/My Documents/b.txt'), 'w') as f:
            f.write('bee')
        env = {'HOME': self.work, 'PATH': '/usr/bin:/bin', 'PAVRIX_DEVICE': os.path.join(self.work, 'device'),
               'DBUS_SESSION_BUS_ADDRESS': 'unix:path=/nonexistent/bus',
               'PAVRIX_STANDARD_DAV': os.environ.get('PAVRIX_STANDARD_DAV', '0')}
        self.process = subprocess.Popen([binary], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = os.path.join(self.work, 'Library/Caches/Pavrix_webdavtmp.plist')
        for _ in range(200):
            try:
                with open(port_file, 'rb') as f:
                    self.port = plistlib.load(f)['WebdavPort']
                return
            except (OSError, KeyError, plistlib.InvalidFileException):
                time.sleep(0.05)
        raise SystemExit('the daemon wrote no port')

    def memory(self):
        fields = {}
        with open(f'/proc/{self.process.pid}/status') as f:
            for line in f:
                name, _, value = line.partition(':')
                if name in ('VmRSS', 'VmHWM'):
                    fields[name] = int(value.split()[0])
        return fields

    def get(self, timeout):
        """Seconds a GET took, and its status line."""
        started = time.monotonic()
        with socket.create_connection(('127.0.0.1', self.port), timeout=timeout) as s:
            s.sendall(GET)
            answer = b''
            try:
                while chunk := s.recv(65536):
                    answer += chunk
            except socket.timeout:
                return time.monotonic() - started, 'no answer'
        return time.monotonic() - started, answer.split(b'\r\n', 1)[0].decode('latin-1')

    def stop(self):
        self.process.kill()
        self.process.wait()
        shutil.rmtree(self.work, ignore_errors=True)


def silent(daemon, args):
    sockets = [socket.create_connection(('127.0.0.1', daemon.port)) for _ in range(args.sockets)]
    took, status = daemon.get(args.timeout)
    print(f'{args.sockets} silent sockets: the next GET took {took:.1f} s ({status})')
    for s in sockets:
        s.close()


def flood(daemon, args):
    stop = time.monotonic() + args.seconds
    counts = {'connections': 0, 'refused': 0}

    def flooder(unique):
        n = 0
        while time.monotonic() < stop:
            try:
                s = socket.create_connection(('127.0.0.1', daemon.port), timeout=2)
            except OSError:
                continue
            counts['connections'] += 1
            try:
                s.sendall(b'GET /Device/ HTTP/1.1\r\nX-a: b\r\n')
                while time.monotonic() < stop:
                    n += 1
                    s.sendall(f'X-{n}: {"v" * 990}\r\n'.encode() if unique else b'\t' + b'v' * 990 + b'\r\n')
            except OSError:
                pass
            try:
                s.settimeout(0.5)
                counts['refused'] += b' 431 ' in s.recv(200)
            except OSError:
                pass
            s.close()

    threads = [threading.Thread(target=flooder, args=(i % 2 == 0,)) for i in range(args.flooders)]
    for t in threads:
        t.start()
    samples = []
    while time.monotonic() < stop:
        samples.append(daemon.memory()['VmRSS'])
        time.sleep(1)
    for t in threads:
        t.join()
    took, status = daemon.get(30)
    print(f'{args.seconds:.0f} s of endless heads from {args.flooders} clients: {counts["connections"]} connections, '
          f'{counts["refused"]} answered 431')
    print(f'VmRSS each second (kB): {" ".join(map(str, samples))}')
    print(f'VmHWM {daemon.memory()["VmHWM"]} kB; a GET then took {took:.2f} s ({status})')


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('what', choices=('silent', 'flood'))
    parser.add_argument('--binary', default=os.path.join(HERE, '..', 'build', 'bin', 'webdav'))
    parser.add_argument('--sockets', type=int, default=67)
    parser.add_argument('--timeout', type=float, default=60)
    parser.add_argument('--seconds', type=float, default=30)
    parser.add_argument('--flooders', type=int, default=4)
    args = parser.parse_args()
    daemon = Daemon(args.binary)
    try:
        (silent if args.what == 'silent' else flood)(daemon, args)
    finally:
        daemon.stop()


if __name__ == '__main__':
    main()
