#!/usr/bin/env python3
# A fleet of JT/T 808 terminals written from the standard alone, apart from
# the center's own code (jt808/) and its benches: a second opinion on what
# the center answers. A third of the terminals speak the 2019 header (BCD[10]
# phones, the version byte), the rest the 2013 one; plates are GBK. Each
# registers, authenticates with the code it got, then reports its location
# (with extra items, among them a maker's own) every INTERVAL seconds, the
# third and every tenth after it as a batch upload of five, and a heartbeat
# every 30 s. One in seven sends each frame in two writes, 10 ms apart.
# Every message waits for its answer; the summary counts the answers that
# said "ok", the frames that did not decode and the time to each answer, in
# all and by message.
#
#   python3 bench/center/jt808_fleet.py HOST PORT TERMINALS INTERVAL SECONDS [RAMP]
#
# e.g. against `vardo-center --open-registration --max-unauthenticated 20000
# --max-unauthenticated-per-address 20000` on a fresh --data folder (the
# phones are the same every run, and a registered phone registers only once).
import asyncio, gc, random, struct, sys, time

# Python's collector, walking 15,000 terminals' objects, stops the loop for
# up to half a second: it would be timed as the center's answers.
gc.disable()

def bcd(digits):
    return bytes(int(digits[i:i+2], 16) for i in range(0, len(digits), 2))

def escape(b):
    return b.replace(b'\x7d', b'\x7d\x01').replace(b'\x7e', b'\x7d\x02')

def frame(msg_id, phone, serial, body, v2019):
    attr = len(body) & 0x3ff
    if v2019:
        attr |= 0x4000
        head = struct.pack('>HHB', msg_id, attr, 1) + bcd(phone.rjust(20, '0')) + struct.pack('>H', serial)
    else:
        head = struct.pack('>HH', msg_id, attr) + bcd(phone.rjust(12, '0')) + struct.pack('>H', serial)
    raw = head + body
    cs = 0
    for x in raw:
        cs ^= x
    return b'\x7e' + escape(raw + bytes([cs])) + b'\x7e'

def parse(raw):
    # unescaped frame content without the flags
    b = raw.replace(b'\x7d\x02', b'\x7e').replace(b'\x7d\x01', b'\x7d')
    cs = 0
    for x in b[:-1]:
        cs ^= x
    if cs != b[-1]:
        return None
    msg_id, attr = struct.unpack('>HH', b[:4])
    off = 4
    if attr & 0x4000:
        off += 1 + 10
    else:
        off += 6
    serial = struct.unpack('>H', b[off:off+2])[0]
    off += 2
    if attr & 0x2000:
        off += 4
    return msg_id, serial, b[off:-1]

def bcd_time(t):
    tm = time.gmtime(t + 8 * 3600)
    s = '%02d%02d%02d%02d%02d%02d' % (tm.tm_year % 100, tm.tm_mon, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec)
    return bcd(s)

def location_body(i, n):
    lat = int((31.2 + (i % 1000) * 1e-4) * 1e6)
    lon = int((121.4 + n * 1e-5) * 1e6)
    body = struct.pack('>IIIIHHH', 0, 0x3, lat, lon, 12, 345, 90) + bcd_time(time.time())
    body += b'\x01\x04' + struct.pack('>I', 1000 + n)   # mileage
    body += b'\x30\x01\x1f'                             # signal
    body += b'\x31\x01\x0c'                             # satellites
    body += b'\xe1\x03abc'                              # a maker's own item
    return body

by_message = {}  # message id: the times to its answers
stats = {'sent': 0, 'ok': 0, 'bad': 0, 'timeouts': 0, 'registered': 0, 'authed': 0, 'fail': 0, 'lat': []}

class Terminal:
    def __init__(self, i, host, port, interval, heartbeat, seconds):
        self.i = i
        self.v2019 = (i % 3 == 0)
        self.phone = '1%010d' % (40000000 + i) if not self.v2019 else '0%019d' % (50000000 + i)
        self.host, self.port = host, port
        self.interval, self.heartbeat, self.seconds = interval, heartbeat, seconds
        self.serial = 0
        self.waiting = {}
        self.buf = b''

    def next_serial(self):
        self.serial = (self.serial + 1) & 0xffff
        return self.serial

    async def send(self, msg_id, body):
        s = self.next_serial()
        f = frame(msg_id, self.phone, s, body, self.v2019)
        fut = asyncio.get_running_loop().create_future()
        self.waiting[s] = (fut, time.monotonic(), msg_id)
        mode = self.i % 7
        if mode == 1 and len(f) > 4:           # split in two writes
            cut = random.randrange(1, len(f))
            self.w.write(f[:cut]); await self.w.drain()
            await asyncio.sleep(0.01)
            self.w.write(f[cut:])
        else:
            self.w.write(f)
        await self.w.drain()
        return s, fut

    async def reader(self):
        while True:
            data = await self.r.read(4096)
            if not data:
                return
            self.buf += data
            while True:
                a = self.buf.find(b'\x7e')
                if a < 0:
                    self.buf = b''
                    break
                b = self.buf.find(b'\x7e', a + 1)
                if b < 0:
                    self.buf = self.buf[a:]
                    break
                raw = self.buf[a+1:b]
                self.buf = self.buf[b+1:]
                if not raw:
                    self.buf = b'\x7e' + self.buf
                    continue
                p = parse(raw)
                if p is None:
                    stats['bad'] += 1
                    continue
                msg_id, serial, body = p
                if msg_id in (0x8001, 0x8100):
                    s = struct.unpack('>H', body[:2])[0]
                    w = self.waiting.pop(s, None)
                    if w and not w[0].done():
                        w[0].set_result((msg_id, body))
                        took = time.monotonic() - w[1]
                        stats['lat'].append(took)
                        by_message.setdefault(w[2], []).append(took)

    async def ask(self, msg_id, body, timeout=30):
        s, fut = await self.send(msg_id, body)
        try:
            return await asyncio.wait_for(fut, timeout)
        except asyncio.TimeoutError:
            stats['timeouts'] += 1
            return None

    async def run(self, start_at):
        await asyncio.sleep(max(0, start_at - time.monotonic()))
        try:
            self.r, self.w = await asyncio.open_connection(self.host, self.port)
        except OSError:
            stats['fail'] += 1
            return
        rt = asyncio.create_task(self.reader())
        plate = '\u4eacA%05d' % (self.i % 100000)
        plate_b = plate.encode('gbk')
        if self.v2019:
            body = struct.pack('>HH', 31, 100) + b'MAKER000001' + b'MODEL-2019'.ljust(30, b'\0') + ('T%029d' % self.i).encode() + b'\x02' + plate_b
        else:
            body = struct.pack('>HH', 31, 100) + b'MK001' + b'MODEL-2013'.ljust(20, b'\0') + ('%07d' % self.i).encode()[-7:] + b'\x02' + plate_b
        ans = await self.ask(0x0100, body)
        if not ans or ans[0] != 0x8100 or ans[1][2] != 0:
            stats['fail'] += 1
            if stats['fail'] < 5:
                print('registration refused', self.phone, ans, file=sys.stderr)
            self.w.close(); return
        stats['registered'] += 1
        code = ans[1][3:]
        if self.v2019:
            body = bytes([len(code)]) + code + b'860000000000000' + b'SW1.0'.ljust(20, b'\0')
        else:
            body = code
        ans = await self.ask(0x0102, body)
        if not ans or ans[1][4] != 0:
            stats['fail'] += 1
            if stats['fail'] < 5:
                print('authentication refused', self.phone, ans, file=sys.stderr)
            self.w.close(); return
        stats['authed'] += 1
        end = time.monotonic() + self.seconds
        n = 0
        next_beat = time.monotonic() + self.heartbeat
        await asyncio.sleep(random.random() * self.interval)
        while time.monotonic() < end:
            n += 1
            if n % 10 == 3:
                items = [location_body(self.i, n * 10 + k) for k in range(5)]
                body = struct.pack('>HB', len(items), 1) + b''.join(struct.pack('>H', len(x)) + x for x in items)
                ans = await self.ask(0x0704, body)
            else:
                ans = await self.ask(0x0200, location_body(self.i, n))
            stats['sent'] += 1
            if ans and ans[0] == 0x8001 and ans[1][4] == 0:
                stats['ok'] += 1
            if time.monotonic() >= next_beat:
                await self.ask(0x0002, b'')
                next_beat += self.heartbeat
            await asyncio.sleep(self.interval)
        self.w.close()
        rt.cancel()

async def main():
    if len(sys.argv) < 6:
        sys.exit(__doc__ or 'usage: jt808_fleet.py HOST PORT TERMINALS INTERVAL SECONDS [RAMP]')
    host, port, count, interval, seconds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5])
    ramp = float(sys.argv[6]) if len(sys.argv) > 6 else 5.0
    t0 = time.monotonic()
    fleet = [Terminal(i, host, port, interval, 30, seconds) for i in range(count)]
    await asyncio.gather(*(t.run(t0 + ramp * t.i / count) for t in fleet))
    lat = sorted(stats['lat'])
    p = lambda q: lat[int(q * (len(lat) - 1))] * 1000 if lat else 0
    print({k: v for k, v in stats.items() if k != 'lat'}, 'p50 %.1f ms p99 %.1f ms max %.1f ms' % (p(0.5), p(0.99), p(1.0)))
    for msg_id, times in sorted(by_message.items()):
        times.sort()
        q = lambda share: times[int(share * (len(times) - 1))] * 1000
        print('0x%04x: %d answered, p50 %.1f ms p99 %.1f ms max %.1f ms' % (msg_id, len(times), q(0.5), q(0.99), q(1.0)))

asyncio.run(main())
