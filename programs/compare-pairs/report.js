// The report's script: sorting and filtering the table of all pairs, the
// study drawn from that table (the distribution of each figure over all
// pairs, and the scatter matrix of the coefficients, each point a link to
// its pair), and, when the page is opened with ?selfcheck, a summary of what
// was drawn for the browser test. Nothing is fetched.
(function () {
  'use strict';
  var errors = [];
  window.addEventListener('error', function (e) { errors.push(String(e.message)); });
  var SVG = 'http://www.w3.org/2000/svg';
  var params = new URLSearchParams(location.search);

  function node(name, attrs, parent, text) {
    var e = document.createElementNS(SVG, name);
    for (var k in attrs) e.setAttribute(k, attrs[k]);
    if (text !== undefined) e.textContent = text;
    if (parent) parent.appendChild(e);
    return e;
  }
  function show(v) {
    var a = Math.abs(v);
    return a === 0 ? '0' : a >= 100 ? v.toFixed(0) : v.toPrecision(3);
  }

  // The counts a chart carries: "bin:count" starts at a bin, "count" is
  // the next bin's.
  function parseCounts(text) {
    var counts = {}, bin = 0;
    text.split(' ').forEach(function (token) {
      if (!token) return;
      var colon = token.indexOf(':');
      if (colon >= 0) {
        bin = parseInt(token.slice(0, colon), 10);
        token = token.slice(colon + 1);
      } else {
        bin++;
      }
      counts[bin] = parseInt(token, 10);
    });
    return counts;
  }

  // A pair's chart: both images' histograms as shares of their values, on
  // the axis the chart names.
  function drawChart(svg) {
    var left = 36, right = 312, top = 24, bottom = 122;
    var axis = svg.dataset.axis.split(' ').map(Number), lo = axis[0], hi = axis[1];
    node('path', { d: 'M' + left + ' ' + top + 'V' + bottom + 'H' + right, 'class': 'axis' }, svg);
    if (hi < lo) return;
    var totals = svg.dataset.total.split(' ').map(Number);
    var series = [parseCounts(svg.dataset.first), parseCounts(svg.dataset.second)];
    var span = hi - lo + 1, most = 0, k, b;
    function share(k, b) { return totals[k] ? (series[k][b] || 0) / totals[k] : 0; }
    for (k = 0; k < 2; k++) for (b = lo; b <= hi; b++) most = Math.max(most, share(k, b));
    function x(b) { return left + (b - lo + 0.5) / span * (right - left); }
    function y(p) { return most > 0 ? bottom - p / most * (bottom - top) : bottom; }
    for (k = 0; k < 2; k++) {
      var d = 'M' + x(lo - 0.5).toFixed(1) + ' ' + bottom;
      for (b = lo; b <= hi; b++) d += 'V' + y(share(k, b)).toFixed(1) + 'H' + x(b + 0.5).toFixed(1);
      node('path', { d: d + 'V' + bottom + 'Z', 'class': 's' + k }, svg);
    }
    node('text', { x: x(lo).toFixed(1), y: 135, 'class': 'l', 'text-anchor': 'middle' }, svg, String(lo));
    node('text', { x: x(hi).toFixed(1), y: 135, 'class': 'l', 'text-anchor': 'middle' }, svg, String(hi));
    node('text', { x: left - 3, y: top + 4, 'class': 'l', 'text-anchor': 'end' }, svg, most.toPrecision(2));
  }

  // A cell's whole text: its title where it shows less.
  function cellText(cell) { return cell.title || cell.textContent; }

  // The pairs as the table lists them.
  function readTable(table) {
    var heads = Array.prototype.slice.call(table.tHead.rows[0].cells);
    var figures = [];
    heads.forEach(function (th, i) {
      if (th.dataset.figure) figures.push({ key: th.dataset.key, kind: th.dataset.figure, col: i,
                                            name: th.dataset.name || th.textContent });
    });
    var pairs = Array.prototype.slice.call(table.tBodies[0].rows).map(function (tr) {
      var link = tr.cells[0].querySelector('a');
      return { tr: tr, line: link.textContent, href: link.getAttribute('href'),
               first: tr.cells[1].title, second: tr.cells[2].title,
               ok: tr.cells[3].textContent === 'ok',
               values: figures.map(function (f) { return parseFloat(cellText(tr.cells[f.col])); }) };
    });
    return { heads: heads, figures: figures, pairs: pairs };
  }

  function sortable(table) {
    Array.prototype.forEach.call(table.tHead.rows[0].cells, function (th, i) {
      th.addEventListener('click', function () {
        var body = table.tBodies[0], rows = Array.prototype.slice.call(body.rows);
        var up = th.dataset.up !== '1';
        th.dataset.up = up ? '1' : '0';
        rows.sort(function (a, b) {
          var x = cellText(a.cells[i]), y = cellText(b.cells[i]);
          var p = parseFloat(x), q = parseFloat(y);
          if (isNaN(p) && isNaN(q)) return up ? x.localeCompare(y) : y.localeCompare(x);
          if (isNaN(p)) return 1;
          if (isNaN(q)) return -1;
          return up ? p - q : q - p;
        });
        rows.forEach(function (r) { body.appendChild(r); });
      });
    });
  }

  // Rows whose paths hold the text (either path, any case) and whose status
  // is the one chosen; the study's points of the others are dimmed.
  function filtering(data) {
    var text = document.getElementById('filter-path');
    var status = document.getElementById('filter-status');
    var count = document.getElementById('filter-count');
    function apply() {
      var needle = text.value.toLowerCase(), wanted = status.value, shown = 0;
      data.pairs.forEach(function (p) {
        var keep = (!needle || p.first.toLowerCase().indexOf(needle) >= 0 ||
                    p.second.toLowerCase().indexOf(needle) >= 0) &&
                   (!wanted || (wanted === 'ok') === p.ok);
        p.tr.classList.toggle('off', !keep);
        (p.points || []).forEach(function (c) { c.classList.toggle('off', !keep); });
        if (keep) shown++;
      });
      count.textContent = shown + ' of ' + data.pairs.length + ' pairs shown';
      return shown;
    }
    if (params.has('path')) text.value = params.get('path');
    if (params.has('status')) status.value = params.get('status');
    text.addEventListener('input', apply);
    status.addEventListener('change', apply);
    return apply;
  }

  function range(values) {
    var lo = Math.min.apply(null, values), hi = Math.max.apply(null, values);
    if (hi - lo < 1e-9) {
      var pad = Math.max(Math.abs(lo) * 0.05, 0.01);
      lo -= pad; hi += pad;
    }
    return [lo, hi];
  }

  function pointLink(parent, pair, label) {
    var a = node('a', { href: pair.href }, parent);
    node('title', {}, a, 'line ' + pair.line + ': ' + pair.first + ' \u00b7 ' + pair.second + '\n' + label);
    return a;
  }

  // A histogram of one figure over the pairs that succeeded, with a strip of
  // one point per pair below it.
  function distribution(parent, data, f, index) {
    var pairs = data.pairs.filter(function (p) { return p.ok && isFinite(p.values[index]); });
    if (!pairs.length) return;
    var values = pairs.map(function (p) { return p.values[index]; });
    var r = range(values), bins = 24, counts = new Array(bins).fill(0);
    var left = 36, right = 290, top = 26, bottom = 86;
    function x(v) { return left + (v - r[0]) / (r[1] - r[0]) * (right - left); }
    values.forEach(function (v) {
      counts[Math.min(bins - 1, Math.floor((v - r[0]) / (r[1] - r[0]) * bins))]++;
    });
    var most = Math.max.apply(null, counts);
    var svg = node('svg', { viewBox: '0 0 300 140', 'class': 'dist', role: 'img', 'data-key': f.key }, parent);
    node('text', { x: 4, y: 16, 'class': 'sl' }, svg,
         f.name + ': ' + pairs.length + ' pairs');
    node('text', { x: left - 4, y: top + 10, 'class': 'sl', 'text-anchor': 'end' }, svg, String(most));
    counts.forEach(function (c, b) {
      if (!c) return;
      var h = c / most * (bottom - top), w = (right - left) / bins;
      node('rect', { x: (left + b * w).toFixed(1), y: (bottom - h).toFixed(1), width: (w - 1).toFixed(1),
                     height: h.toFixed(1), 'class': 'dist-bar' }, svg);
    });
    node('path', { d: 'M' + left + ' ' + bottom + 'H' + right, 'class': 'axis' }, svg);
    pairs.forEach(function (p, k) {
      var a = pointLink(svg, p, f.key + ' = ' + p.values[index]);
      var c = node('circle', { cx: x(p.values[index]).toFixed(1), cy: (96 + (k * 7919 % 13)).toFixed(1),
                               r: 2.6, 'class': 'pt' }, a);
      (p.points = p.points || []).push(c);
    });
    node('text', { x: left, y: 130, 'class': 'sl' }, svg, show(r[0]));
    node('text', { x: right, y: 130, 'class': 'sl', 'text-anchor': 'end' }, svg, show(r[1]));
  }

  // The lower triangle of the scatter matrix of the coefficients.
  function matrix(parent, data, keys) {
    var n = keys.length - 1;
    if (n < 1) return;
    var cell = 100, gap = 8, left = 150, bottom = 62;
    var width = left + n * (cell + gap), height = n * (cell + gap) + bottom;
    var svg = node('svg', { viewBox: '0 0 ' + width + ' ' + height, 'class': 'scatter', role: 'img' }, parent);
    var pairs = data.pairs.filter(function (p) {
      return p.ok && keys.every(function (k) { return isFinite(p.values[k.index]); });
    });
    var ranges = keys.map(function (k) {
      return pairs.length ? range(pairs.map(function (p) { return p.values[k.index]; })) : [0, 1];
    });
    for (var row = 1; row <= n; row++) {
      var y0 = (row - 1) * (cell + gap);
      node('text', { x: left - 8, y: y0 + cell / 2, 'class': 'sk', 'text-anchor': 'end' }, svg, keys[row].key);
      node('text', { x: left - 8, y: y0 + cell / 2 + 22, 'class': 'sr', 'text-anchor': 'end' }, svg,
           show(ranges[row][0]) + '\u2013' + show(ranges[row][1]));
      for (var col = 0; col < row; col++) {
        var x0 = left + col * (cell + gap);
        node('rect', { x: x0, y: y0, width: cell, height: cell, 'class': 'frame' }, svg);
        pairs.forEach(function (p) {
          var vx = p.values[keys[col].index], vy = p.values[keys[row].index];
          var rx = ranges[col], ry = ranges[row];
          var a = pointLink(svg, p, keys[col].key + ' = ' + vx + ', ' + keys[row].key + ' = ' + vy);
          var c = node('circle', { cx: (x0 + 4 + (vx - rx[0]) / (rx[1] - rx[0]) * (cell - 8)).toFixed(1),
                                   cy: (y0 + cell - 4 - (vy - ry[0]) / (ry[1] - ry[0]) * (cell - 8)).toFixed(1),
                                   r: 2.4, 'class': 'pt' }, a);
          (p.points = p.points || []).push(c);
        });
      }
    }
    for (var col2 = 0; col2 < n; col2++) {
      var cx = left + col2 * (cell + gap) + cell / 2, ys = n * (cell + gap);
      node('text', { x: cx, y: ys + 16, 'class': 'sk', 'text-anchor': 'middle' }, svg, keys[col2].key);
      node('text', { x: cx, y: ys + 40, 'class': 'sr', 'text-anchor': 'middle' }, svg,
           show(ranges[col2][0]) + '\u2013' + show(ranges[col2][1]));
    }
  }

  function study(data) {
    var host = document.getElementById('study');
    if (!host || !data.pairs.length) return;
    var dists = host.querySelector('.dists'), scatter = host.querySelector('.matrix');
    data.figures.forEach(function (f, i) { if (f.kind !== 'part') distribution(dists, data, f, i); });
    var keys = [];
    data.figures.forEach(function (f, i) { if (f.kind === 'coefficient') keys.push({ key: f.key, index: i }); });
    matrix(scatter, data, keys);
  }

  // What the browser test checks: the charts and images as rendered, the
  // table's columns within the window, the study's points and their links,
  // its smallest text, and what the filter kept.
  function selfcheck(data, shown) {
    // ?selfcheck&width=390 lays the page out in a body that narrow.
    if (params.has('width')) {
      document.body.style.maxWidth = (parseInt(params.get('width'), 10) - 16) + 'px';
      document.body.style.margin = '0';
    }
    var charts = document.querySelectorAll('svg.chart'), empty = 0, paths = 0;
    charts.forEach(function (s) {
      var r = s.getBoundingClientRect();
      if (!(r.width > 0 && r.height > 0)) empty++;
      s.querySelectorAll('path.s0,path.s1').forEach(function (p) {
        var b = p.getBBox();
        if (b.width > 0 && b.height > 0) paths++;
      });
    });
    var images = document.querySelectorAll('img'), broken = 0;
    images.forEach(function (i) { if (!i.complete || i.naturalWidth === 0) broken++; });
    var width = document.documentElement.clientWidth, result = {
      charts: charts.length, empty: empty, paths: paths, images: images.length, broken: broken,
      errors: errors, width: width
    };
    if (data) {
      var wrap = document.querySelector('.wrap');
      result.hidden = data.heads.filter(function (th) {
        return th.getBoundingClientRect().right > width + 0.5;
      }).map(function (th) { return th.dataset.key; });
      result.scrolls = wrap.scrollWidth > wrap.clientWidth + 1;
      result.table = [wrap.scrollWidth, wrap.clientWidth];
      result.shown = shown;
      var host = document.getElementById('study'), links = host.querySelectorAll('a');
      var dead = 0, smallest = 1e9;
      links.forEach(function (a) {
        var href = a.getAttribute('href'), hash = href.indexOf('#');
        if (hash === 0 && !document.getElementById(href.slice(1))) dead++;
      });
      host.querySelectorAll('text').forEach(function (t) {
        if (t.textContent) smallest = Math.min(smallest, t.getBoundingClientRect().height);
      });
      result.study = { distributions: host.querySelectorAll('svg.dist').length,
                       scatter: host.querySelectorAll('svg.scatter').length,
                       links: links.length, dead: dead,
                       smallestText: Math.round(smallest * 10) / 10,
                       overflows: host.scrollWidth > host.clientWidth + 1,
                       width: Math.round(host.getBoundingClientRect().width) };
    }
    result.timing = timing;
    var out = document.createElement('pre');
    out.id = 'selfcheck';
    out.textContent = JSON.stringify(result);
    document.body.appendChild(out);
  }

  var data = null, shown = -1, timing = {};
  document.addEventListener('DOMContentLoaded', function () {
    timing.ready = Math.round(performance.now());
    // Each pair's charts are drawn when it is about to be scrolled to; the
    // check looks at every chart and image at once.
    var sections = document.querySelectorAll('section');
    function drawSection(section) {
      section.querySelectorAll('svg.chart').forEach(drawChart);
    }
    if (params.has('selfcheck') && params.get('selfcheck') !== 'lazy') {
      document.querySelectorAll('img').forEach(function (i) { i.loading = 'eager'; });
      sections.forEach(drawSection);
    } else if ('IntersectionObserver' in window) {
      var observer = new IntersectionObserver(function (entries) {
        entries.forEach(function (e) {
          if (!e.isIntersecting) return;
          observer.unobserve(e.target);
          drawSection(e.target);
        });
      }, { rootMargin: '1500px 0px' });
      sections.forEach(function (section) { observer.observe(section); });
    } else {
      sections.forEach(drawSection);
    }
    timing.charts = Math.round(performance.now());
    var table = document.getElementById('all-pairs');
    if (!table) return;
    data = readTable(table);
    sortable(table);
    study(data);
    shown = filtering(data)();
    timing.study = Math.round(performance.now());
  });
  window.addEventListener('load', function () {
    timing.loaded = Math.round(performance.now());
    if (params.has('selfcheck')) selfcheck(data, shown);
  });
})();
