#!/usr/bin/env python3
"""The playground server from outside: what it refuses before the plug-in sees a request, and
that it keeps answering the page while a render runs on the plug-in's worker."""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.dirname(__file__))
from support import REPO, Hold, Results, Server, cli_path, faultinject_path, image_size  # noqa: E402

EXAMPLE = os.path.join(REPO, 'examples', 'landscape_orientation6.jpg')


def make_root():
    """A root holding one photo, a link leading out of it, and a folder link leading out."""
    root = tempfile.mkdtemp(prefix='velmo-playground-test-')
    shutil.copy(EXAMPLE, os.path.join(root, 'photo.jpg'))
    os.symlink('/etc/passwd', os.path.join(root, 'escape.jpg'))
    os.symlink('/etc', os.path.join(root, 'etc'))
    os.symlink(os.path.join(root, 'photo.jpg'), os.path.join(root, 'inside.jpg'))
    return root


def test_paths(server, root, results):
    outputs = server.info['outputs']
    photo = os.path.join(root, 'photo.jpg')
    good = {'path': photo, 'destination': outputs + '/ok', 'width': 120, 'height': 80}

    status, answer = server.call('render', good)
    results.check('a render inside the root is answered', status == 200 and 'result' in answer,
                  answer)
    if 'url' in answer:
        data = server.download(answer['url'])
        results.check('its output is served at the issued address', image_size(data) == (120, 80))
    status, answer = server.call('metadata', {'path': os.path.join(root, 'inside.jpg')})
    results.check('a link is refused even when it stays inside the root', status == 400, answer)

    # {case: value} of |key|: each must be refused with HTTP 400 before the plug-in sees it.
    def check_refused(key, cases):
        for case, value in cases.items():
            status, answer = server.call('render', dict(good, **{key: value}))
            results.check(f'refused: {case}', status == 400 and 'refused' in answer,
                          (status, answer))

    check_refused('path', {
        'relative': 'photo.jpg',
        'dot-dot': root + '/../../etc/passwd',
        'dot-dot at the end': root + '/..',
        'absolute outside': '/etc/passwd',
        'link to a file outside': root + '/escape.jpg',
        'link to a folder outside': root + '/etc/passwd',
        'NUL': photo + '\0.png',
        'URL-encoded dot-dot': root + '/%2e%2e/%2E%2E/etc/passwd',
        'URL-encoded NUL': photo + '%00',
    })
    check_refused('destination', {
        'destination outside': '/tmp/velmo-playground-escape',
        'destination dot-dot': outputs + '/../../escape',
        'destination in the root': root + '/written',
        'destination through a link': root + '/etc/written',
    })
    results.check('nothing was written outside', not os.path.exists('/tmp/velmo-playground-escape.jpg')
                  and not os.path.exists(root + '/written.jpg'))

    # Requests for anything but the page's files and issued outputs.
    for path in ['/..%2f..%2fetc%2fpasswd', '/%2e%2e/%2e%2e/etc/passwd', '/../../etc/passwd',
                 '/out/../../etc/passwd', '/out/999999', '/app.js%00.png', '/CMakeLists.txt',
                 '/etc/passwd']:
        status, body = server.request('GET', path)
        results.check(f'not served: {path}', status in (400, 404) and b'root:' not in body,
                      status)
    for path in ['/', '/app.js', '/style.css']:
        status, _ = server.request('GET', path)
        results.check(f'served: {path}', status == 200, status)


def test_uploads(server, results):
    with open(os.path.join(REPO, 'examples', 'long_screenshot.png'), 'rb') as f:
        png = f.read()
    cases = [
        ('a PNG', png, 200),
        ('text', b'hello, this is not an image\n' * 10, 415),
        ('a JPEG signature over junk', b'\xff\xd8\xff\xe0' + b'\0' * 4000, 415),
        ('an HTML page', b'<!doctype html><script>alert(1)</script>', 415),
        ('over the size limit', b'\x89PNG\r\n\x1a\n' + b'\0' * (41 << 20), 413),
    ]
    for name, body, expected in cases:
        status, _ = server.request('POST', '/api/upload?name=x.png', body,
                                   {'Content-Type': 'application/octet-stream'})
        results.check(f'upload of {name}: HTTP {expected}', status == expected, status)
    uploads = os.listdir(server.uploads_dir)
    results.check('only the accepted upload is kept', len(uploads) == 1, uploads)
    status, listing = server.get_json('/api/photos')
    names = [p['name'] for p in listing['photos']]
    results.check('the upload is offered as a photo', any(n.startswith('upload 1') for n in names),
                  names)


def test_origin(server, photo, results):
    port = server.port
    cases = [
        ('same origin', {'Origin': f'http://127.0.0.1:{port}'}, 200),
        ('localhost', {'Origin': f'http://localhost:{port}', 'Host': f'localhost:{port}'}, 200),
        ('another site', {'Origin': 'http://evil.example'}, 403),
        ('another port', {'Origin': f'http://127.0.0.1:{port + 1}'}, 403),
        ('a rebound name', {'Host': f'evil.example:{port}'}, 403),
        ('a cross-site fetch', {'Sec-Fetch-Site': 'cross-site'}, 403),
    ]
    for name, headers, expected in cases:
        status, _ = server.call('metadata', {'path': photo}, headers)
        results.check(f'origin: {name}', status == expected, status)


def test_busy(server, hold, results):
    """Page requests are answered while a call keeps the plug-in's one worker busy: the first
    render is held at the open of its photo (tests/faultinject/) until every page request has
    been answered, with two more renders queued behind it."""
    outputs = server.info['outputs']
    finished = {}

    def render(i):
        finished[i] = server.call('render', {'path': hold.path if i == 0 else hold.path + '.jpg',
                                             'destination': f'{outputs}/busy{i}', 'width': 400,
                                             'height': 300})[1]
        if i == 0:
            hold.answered()

    held = threading.Thread(target=render, args=(0,))
    held.start()
    if not hold.held():
        held.join()
        results.check('the first render is held at the open of its photo', False, finished)
        return
    queued = [threading.Thread(target=render, args=(i,)) for i in (1, 2)]
    for t in queued:
        t.start()
    answers = []

    def page(path):
        answers.append(server.request('GET', path)[0])

    pages = [threading.Thread(target=page, args=(p,))
             for p in ['/', '/app.js', '/style.css', '/api/photos'] * 10]
    for t in pages:
        t.start()
    for t in pages:
        t.join()
    results.check('all 40 page requests answered while the worker is busy', answers == [200] * 40,
                  answers)
    results.check('... and the held render not yet', 0 not in finished, finished)
    hold.release()
    held.join()
    for t in queued:
        t.join()
    results.check('the renders went through the channel once let go',
                  sorted(finished) == [0, 1, 2] and all('result' in a for a in finished.values()),
                  finished)


def test_port_taken(server, results):
    """A second playground on the port of the first exits 2 and says why; the port is not
    shared with it, nor with another program asking to share it."""
    second = subprocess.Popen([cli_path(), 'playground', '--port', str(server.port)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # A server that started prints its address first; one that did not ends its output.
    line = second.stdout.readline()
    if line:
        second.terminate()
    _, errors = second.communicate()
    results.check('a second playground on a taken port does not start', line == '', line)
    results.check('... and exits 2', second.returncode == 2, second.returncode)
    expected = f'cannot listen on 127.0.0.1:{server.port}: Address already in use'
    results.check('... saying why', expected in errors, errors)
    other = socket.socket()
    try:
        other.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        other.bind(('127.0.0.1', server.port))
        other.listen()
        shared = True
    except OSError:
        shared = False
    finally:
        other.close()
    results.check('another program cannot share the port', not shared)


def test_diagnostics(server, photo, results):
    """Why a call failed and what its reading forgave come beside the reply, never in it."""
    status, answer = server.call('metadata', {'path': 5})
    results.check('a failure keeps its catalogue message',
                  status == 200 and answer['error']['message'] == '無法讀取圖片，請重新選擇', answer)
    results.check('... and says why in English',
                  answer.get('why') == 'metadata: "path" is the number 5, not a string', answer)
    outputs = server.info['outputs']
    status, answer = server.call('render', {'path': photo, 'destination': f'{outputs}/turned',
                                            'width': 60, 'height': 40,
                                            'recipe': {'quarterTurns': 6}})
    results.check('a forgiven key renders as before', 'result' in answer and 'why' not in answer,
                  answer)
    results.check('... with a warning that names it', answer.get('warnings') == [
        'render: "quarterTurns" 6 is outside 0 to 3; 2 (the same turn) was used'], answer)


def main():
    results = Results()
    root = make_root()
    if not os.path.exists(faultinject_path()):
        print(f'{faultinject_path()} is missing: build the velmo_faultinject target', flush=True)
        return 1
    # The photo whose first open is held by the busy test; another copy queued behind it.
    hold = Hold(os.path.join(os.path.realpath(root), 'held.jpg'))
    shutil.copy(EXAMPLE, hold.path)
    shutil.copy(EXAMPLE, hold.path + '.jpg')
    server = Server(root, hold.env())
    try:
        test_paths(server, root, results)
        test_uploads(server, results)
        photo = os.path.join(root, 'photo.jpg')
        test_origin(server, photo, results)
        test_diagnostics(server, photo, results)
        test_busy(server, hold, results)
        test_port_taken(server, results)
        temp = server.temp
    finally:
        status = server.stop()
        hold.close()
        shutil.rmtree(root)
    results.check('stops with status 0 on SIGTERM', status == 0, status)
    results.check('removes its temporary folder', not os.path.exists(temp))
    return results.finish('playground server')


if __name__ == '__main__':
    sys.exit(main())
