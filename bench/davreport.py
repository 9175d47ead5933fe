"""Turns the raw figures of bench/compare.sh into its markdown tables and the
ratio chart's data.

    davreport.py --times FILE --mem FILE [--firstbyte FILE] --browse FILE [--link FILE] --md FILE --chart FILE"""
import statistics
import sys

from davbench import options

OURS = 'ours'
LABELS = {
    'W1 100': 'W1: PROPFIND Depth 1 of a 100-file folder',
    'W1 1000': 'W1: PROPFIND Depth 1 of a 1,000-file folder',
    'W1 10000': 'W1: PROPFIND Depth 1 of a 10,000-file folder',
    'W2': 'W2: GET of a 64 MiB file',
    'W3': 'W3: PUT of 64 MiB',
    'W4': 'W4: GET of 1 KiB',
    'W4w': 'W4w: GET of 1 KiB (wrk -c1, Connection: close)',
    'W5': 'W5: PROPFIND Depth 0 of a file',
    'W5w': 'W5w: PROPFIND Depth 0 of a file (wrk -c1)',
    'W6': 'W6: PUT of 1 KiB, then DELETE of each',
}


def rows(path):
    with open(path) as f:
        return [line.rstrip('\n').split('\t') for line in f if line.strip()]


def medians(times):
    """(workload, server) -> (median seconds, requests), in the order first seen."""
    runs = {}
    for workload, server, _, seconds, count in times:
        runs.setdefault((workload, server), []).append((float(seconds), int(count)))
    return {key: (statistics.median(s for s, _ in r), r[0][1]) for key, r in runs.items()}


def cell(seconds, count):
    return f'{seconds:.3f} s, {count / seconds:,.0f}/s'


def speed_table(times, mem):
    med = medians(times)
    workloads = list(dict.fromkeys(w for w, _ in med))
    servers = list(dict.fromkeys(s for _, s in med))
    peers = [s for s in servers if s != OURS]
    out = ['| workload | requests | ' + ' | '.join(servers) + ' | fastest peer | ratio ours / fastest |',
           '|---' * (len(servers) + 4) + '|']
    chart = []
    for w in workloads:
        fastest = min(peers, key=lambda s: med[w, s][0])
        ratio = med[w, OURS][0] / med[w, fastest][0]
        chart.append((w, ratio))
        out.append(f'| {LABELS.get(w, w)} | {med[w, OURS][1]:,} | ' +
                   ' | '.join(cell(*med[w, s]) for s in servers) +
                   f' | {fastest} | {ratio:.2f}× |')
    peak = {name: int(kib) for name, key, kib in mem if key == 'peak'}
    smallest = min(peers, key=peak.get)
    out.append('| peak resident memory (VmHWM) | | ' +
               ' | '.join(f'{peak[s] / 1024:.1f} MiB' for s in servers) +
               f' | {smallest} | {peak[OURS] / peak[smallest]:.2f}× |')
    chart.append(('peak memory', peak[OURS] / peak[smallest]))
    idle = {key: int(kib) / 1024 for name, key, kib in mem if name == OURS and key != 'peak'}
    out += ['', f'Ours idle: {idle["idle-start"]:.1f} MiB resident after start-up, '
                f'{idle["idle-40s"]:.1f} MiB after 40 s without requests.']
    return out, chart


def first_byte_table(firstbyte):
    """firstbyte rows: kind, server, median microseconds; ours beside the fastest peer."""
    med = {(kind, server): float(micros) for kind, server, micros in firstbyte}
    kinds = list(dict.fromkeys(k for k, _ in med))
    servers = list(dict.fromkeys(s for _, s in med))
    peers = [s for s in servers if s != OURS]
    out = ['| request | ' + ' | '.join(servers) + ' | fastest peer | ours - fastest |',
           '|---' * (len(servers) + 3) + '|']
    for k in kinds:
        fastest = min(peers, key=lambda s: med[k, s])
        out.append(f'| {k} | ' + ' | '.join(f'{med[k, s]:.1f}' for s in servers) +
                   f' | {fastest} | {med[k, OURS] - med[k, fastest]:+.1f} |')
    return out


def browse_table(browse, time_label='time (median of 3)', last_label='calls'):
    """browse rows: run, step, requests, seconds, device calls, call names."""
    steps = {}
    for run, step, count, seconds, calls, names in (r + [''] * (6 - len(r)) for r in browse):
        steps.setdefault(step, []).append((float(seconds), int(count), int(calls), names))
    out = [f'| step | requests | {time_label} | device calls | {last_label} |', '|---|---|---|---|---|']
    total = [0.0, 0, 0]
    for step, runs in steps.items():
        seconds = statistics.median(s for s, *_ in runs)
        counts = sorted({c for _, _, c, _ in runs})
        total = [total[0] + seconds, total[1] + runs[0][1], total[2] + counts[-1]]
        shown = '/'.join(map(str, counts))  # runs that disagree show every count
        out.append(f'| {step} | {runs[0][1]} | {seconds * 1000:.1f} ms | {shown} | {runs[0][3]} |')
    out.append(f'| whole opening | {total[1]} | {total[0] * 1000:.1f} ms | {total[2]} | |')
    return out


def report(opts):
    times = rows(opts['--times'])
    reps = len({rep for *_, rep, _, _ in times})
    speed, chart = speed_table(times, rows(opts['--mem']))
    lines = ['## Side by side on loopback ("LatencyMicroseconds" 0)', '',
             f'Median of {reps} repetitions; one request per connection; seconds for all the '
             'requests of a workload, and requests per second.', ''] + speed
    if opts.get('--firstbyte'):
        lines += ['', '## Where a small request\'s time goes', '',
                  'Microseconds from sending the request to the first answer byte: the median over '
                  'rounds of one request to each server in turn. The rows run one after the other '
                  '(another file read between two asks would leave nothing cached), so figures '
                  'compare best within a row.', ''
                  ] + first_byte_table(rows(opts['--firstbyte']))
    lines += ['', '## A desktop browser opening a 1,000-file folder ("LatencyMicroseconds" 2000)',
              '', 'Device calls counted from the daemon\'s device trace.', ''
              ] + browse_table(rows(opts['--browse']))
    if opts.get('--link'):
        lines += ['', '## Large files over a slow link ("LatencyMicroseconds" 2000, "BytesPerSecond" 2000000)',
                  '', 'One run; the daemon\'s peak resident size after each step.', ''
                  ] + browse_table(rows(opts['--link']), 'time', 'memory')[:-1]
    with open(opts['--md'], 'w') as f:
        f.write('\n'.join(lines) + '\n')
    with open(opts['--chart'], 'w') as f:
        for workload, ratio in chart:
            f.write(f'"{workload}"\t{ratio:.4f}\t{1 if ratio <= 1 else 2}\n')


if __name__ == '__main__':
    report(options(sys.argv[1:], ('--times', '--mem', '--firstbyte', '--browse', '--link', '--md', '--chart'))[0])
