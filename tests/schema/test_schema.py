#!/usr/bin/python3
"""The JSON Schemas of the channel's argument maps (docs/schema/) against real requests.

- Every request file in examples/ passes the schema of the method it is named after.
- Every call the playground page sends passes: the page is driven in headless chromium
  (strokes of each tool, a turn, each watermark style with its sliders at their ends, a
  render, the long-image view), and each call is recorded inside the page as it goes to
  fetch(), before the server sees it, so the very requests the page's code builds are checked.
- Each mistake the plug-in forgives without a word fails the schema, at the key that is wrong.
- The schemas, docs/channel.md and `velmo-image-tools call METHOD --help` name the same keys,
  shapes and styles.

Needs Debian's python3-jsonschema and, for the page, the packages of tests/playground.
Run with --no-browser to skip the page.
"""
import copy
import glob
import json
import os
import subprocess
import sys
import tempfile

import jsonschema

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'playground'))
from support import REPO, Results, Server, cli_path  # noqa: E402

METHODS = ('metadata', 'render', 'tile')


def validators():
    out = {}
    for method in METHODS:
        with open(os.path.join(REPO, 'docs', 'schema', f'{method}.schema.json')) as f:
            schema = json.load(f)
        jsonschema.Draft202012Validator.check_schema(schema)
        out[method] = jsonschema.Draft202012Validator(schema)
    return out


def problems(validator, instance):
    return [f"{'/'.join(map(str, e.absolute_path)) or '(top)'}: {e.message}"
            for e in validator.iter_errors(instance)]


def test_examples(schemas, results):
    files = sorted(glob.glob(os.path.join(REPO, 'examples', '*.json')))
    results.check('examples/ holds request files', files, files)
    for path in files:
        method = os.path.basename(path)[:-len('.json')]
        results.check(f'{path} is named after a method', method in METHODS, method)
        if method in METHODS:
            with open(path) as f:
                found = problems(schemas[method], json.load(f))
            results.check(f'{os.path.basename(path)} passes the {method} schema', not found, found)


def test_forgiven_mistakes(schemas, results):
    """Each case is the example render (which passes) with one mistake the plug-in reads
    past quietly; the schema must refuse it, with an error at or under the key changed."""
    with open(os.path.join(REPO, 'examples', 'render.json')) as f:
        base = json.load(f)
    render = schemas['render']
    results.check('the example render passes', not problems(render, base))

    def stroke(key, value):
        return lambda r: r['recipe']['strokes'][0].__setitem__(key, value)

    def watermark(key, value):
        return lambda r: r['recipe']['watermark'].__setitem__(key, value)

    def recipe(key, value):
        return lambda r: r['recipe'].__setitem__(key, value)

    def top(key, value):
        return lambda r: r.__setitem__(key, value)

    cases = [
        ('an unknown shape', stroke('shape', 'squiggle'), 'recipe/strokes/0/shape'),
        ('a shape in other letter case', stroke('shape', 'Rect'), 'recipe/strokes/0/shape'),
        ('a colour as a string', stroke('colorARGB', '#ff0000'), 'recipe/strokes/0/colorARGB'),
        ('a colour as a float', stroke('colorARGB', 4294901760.5), 'recipe/strokes/0/colorARGB'),
        ('points as {"x", "y"} objects', stroke('points', [{'x': 0.1, 'y': 0.2}, {'x': 0.3, 'y': 0.4}]),
         'recipe/strokes/0/points'),
        ('points as a flat list', stroke('points', [0.1, 0.2, 0.3, 0.4]), 'recipe/strokes/0/points'),
        ('a point of three numbers', stroke('points', [[0.1, 0.2, 1.0], [0.3, 0.4]]),
         'recipe/strokes/0/points'),
        ('a stroke without points', lambda r: r['recipe']['strokes'][0].pop('points'),
         'recipe/strokes/0'),
        ('"enabled" as the text "true"', watermark('enabled', 'true'), 'recipe/watermark/enabled'),
        ('"enabled" as the number 1', watermark('enabled', 1), 'recipe/watermark/enabled'),
        ('the style "diagnolRepeat"', watermark('style', 'diagnolRepeat'), 'recipe/watermark/style'),
        ('an empty watermark text', watermark('text', ''), 'recipe/watermark/text'),
        ('one gradient colour', watermark('gradientColors', [4294198070]),
         'recipe/watermark/gradientColors'),
        ('quarterTurns 4', recipe('quarterTurns', 4), 'recipe/quarterTurns'),
        ('quarterTurns -1', recipe('quarterTurns', -1), 'recipe/quarterTurns'),
        ('quarterTurns 1.5', recipe('quarterTurns', 1.5), 'recipe/quarterTurns'),
        ('a crop of three numbers', recipe('crop', [0, 0, 1]), 'recipe/crop'),
        ('a crop of zero width', recipe('crop', [0, 0, 0, 1]), 'recipe/crop'),
        ('a fractional width', top('width', 800.5), 'width'),
        ('a fractional height', top('height', 1200.5), 'height'),
        ('a width as a string', top('width', '800'), 'width'),
        ('an unknown key in a stroke', stroke('color', 4294901760), 'recipe/strokes/0'),
        ('an unknown key in the recipe', recipe('rotate', 1), 'recipe'),
        ('an unknown key in the watermark', watermark('colour', 4294901760), 'recipe/watermark'),
        ('a misspelt top-level key', top('widht', 800), ''),
        ('no destination', lambda r: r.pop('destination'), ''),
    ]
    for name, change, where in cases:
        request = copy.deepcopy(base)
        change(request)
        found = problems(render, request)
        at = [p for p in found if p.startswith(where or '(top)')]
        results.check(f'render: {name} fails at {where or "(top)"}', at, found)

    for method, request, where in [
        ('metadata', {'path': 5}, 'path'),
        ('metadata', {'pth': 'a.jpg'}, '(top)'),
        ('metadata', {}, '(top)'),
        ('tile', {'path': 'a.png', 'destination': 't', 'width': 1080, 'height': 512,
                  'sample': 0.5}, 'sample'),
        ('tile', {'path': 'a.png', 'destination': 't', 'width': 1080, 'height': 512,
                  'smaple': 2}, '(top)'),
        ('tile', {'path': 'a.png', 'destination': 't', 'width': 1080}, '(top)'),
    ]:
        found = problems(schemas[method], request)
        results.check(f'{method}: {json.dumps(request)} fails at {where}',
                      [p for p in found if p.startswith(where)], found)


def names_in(schema):
    """Every property name and every enum value anywhere in |schema|."""
    names = set()
    if isinstance(schema, dict):
        names |= set(schema.get('properties', {}))
        names |= {v for v in schema.get('enum', []) if isinstance(v, str)}
        for value in schema.values():
            names |= names_in(value)
    elif isinstance(schema, list):
        for value in schema:
            names |= names_in(value)
    return names


def test_same_facts(schemas, results):
    with open(os.path.join(REPO, 'docs', 'channel.md')) as f:
        reference = f.read()
    for method in METHODS:
        names = names_in(schemas[method].schema)
        missing = sorted(n for n in names if f'`"{n}"`' not in reference)
        results.check(f'docs/channel.md names every key and name of the {method} schema',
                      not missing, missing)
        shown = subprocess.run([cli_path(), 'call', method, '--help'], capture_output=True,
                               text=True, check=True).stdout
        missing = sorted(n for n in names if n not in shown)
        results.check(f'`call {method} --help` names every key and name of its schema',
                      not missing, missing)


# Wraps fetch() before the page's own script runs, keeping each channel call's JSON body.
RECORD_CALLS = """
window.__velmoCalls = [];
const velmoFetch = window.fetch;
window.fetch = (path, options) => {
  if (path === '/api/call' && options && typeof options.body === 'string') {
    window.__velmoCalls.push(JSON.parse(options.body));
  }
  return velmoFetch(path, options);
};
"""


def test_page(schemas, results):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select
    from test_browser import draw_line, start_browser, wait

    server = Server()
    profile = tempfile.TemporaryDirectory(prefix='velmo-schema-chromium-')
    driver = None
    try:
        driver = start_browser(profile.name)
        driver.execute_cdp_cmd('Page.addScriptToEvaluateOnNewDocument', {'source': RECORD_CALLS})
        driver.get(server.url)
        ready = lambda d: d.find_element(By.ID, 'preview').get_attribute('data-ready')
        wait(driver, ready, 'the preview')
        # A turn first: it clears the strokes, and the preview is made again.
        before = ready(driver)
        driver.find_element(By.ID, 'turn').click()
        wait(driver, lambda d: ready(d) not in (None, before), 'the turned preview')
        overlay = driver.find_element(By.ID, 'overlay')
        tools = [e.get_attribute('value')
                 for e in driver.find_elements(By.CSS_SELECTOR, 'input[name=tool]')]
        for tool in tools:
            driver.find_element(By.CSS_SELECTOR, f'input[name=tool][value={tool}]').click()
            draw_line(driver, overlay)
        driver.find_element(By.ID, 'wm-enabled').click()
        # The sliders pushed past both ends: the page must still send what the plug-in honours.
        for opacity, density in (('0', '5'), ('1', '0')):
            driver.execute_script(
                "document.getElementById('wm-opacity').value = arguments[0];"
                "document.getElementById('wm-density').value = arguments[1];", opacity, density)
            for style in ('diagonalRepeat', 'cornerStamp', 'minimalSignature'):
                Select(driver.find_element(By.ID, 'wm-style')).select_by_value(style)
                shown = json.loads(driver.find_element(By.ID, 'request-json').text or '{}')
                if shown:
                    found = problems(schemas['render'], shown)
                    results.check(f'the request shown for {style} passes', not found, found)
                driver.find_element(By.ID, 'render').click()
                wait(driver, lambda d: 'bytes' in d.find_element(By.ID, 'result-stats').text or
                     not d.find_element(By.ID, 'error').get_attribute('hidden'), 'the render')
                driver.execute_script("document.getElementById('result-stats').textContent = '';")
        driver.find_element(By.ID, 'tab-tiles').click()
        wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, '#tile-strip img.tile'),
             'the first tile')
        calls = driver.execute_script('return window.__velmoCalls;')
    finally:
        if driver:
            driver.quit()
        server.stop()
        profile.cleanup()

    by_method = {}
    for call in calls:
        by_method.setdefault(call['method'], []).append(call['args'])
    results.check('the page sent every method', sorted(by_method) == sorted(METHODS),
                  sorted(by_method))
    for method, requests in sorted(by_method.items()):
        if method not in METHODS:
            continue
        bad = [(r, problems(schemas[method], r)) for r in requests]
        bad = [b for b in bad if b[1]]
        results.check(f'all {len(requests)} "{method}" calls of the page pass', not bad, bad[:2])
    renders = by_method.get('render', [])
    shapes = {s.get('shape') for r in renders for s in r.get('recipe', {}).get('strokes', [])}
    results.check('the renders carry a stroke of every tool but crop',
                  shapes == set(tools) - {'crop'}, shapes)
    styles = {r['recipe']['watermark']['style'] for r in renders if 'watermark' in r['recipe']}
    results.check('the renders carry each watermark style', len(styles) == 3, styles)


def main():
    results = Results()
    schemas = validators()
    test_examples(schemas, results)
    test_forgiven_mistakes(schemas, results)
    test_same_facts(schemas, results)
    if '--no-browser' not in sys.argv[1:]:
        test_page(schemas, results)
    return results.finish('argument schemas')


if __name__ == '__main__':
    sys.exit(main())
