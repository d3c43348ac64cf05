// The chosen unit's checked sensors in one plot over the days the retention
// sweep keeps, with dates on the time axis, refreshed every second. The data
// unit reads and decimates the files as the sensor window does; records
// outside the shown days (a unit with a wrong clock) are counted below.
'use strict';

(() => {
  const select = document.getElementById('unit');
  const sensorsBox = document.getElementById('sensors');
  const checked = new Set();
  let units = [];
  let graph = null;
  let scaleName = null;  // whose values the axis shows; the others are drawn onto its range

  function showSensorChoices() {
    const unit = units.find((u) => u.name === select.value);
    const sensors = unit ? unit.sensors : [];
    const shownNames = [...sensorsBox.querySelectorAll('input')].map((box) => box.value);
    if (shownNames.length === sensors.length && shownNames.every((s, i) => s === sensors[i])) return;
    for (const name of [...checked]) if (!sensors.includes(name)) checked.delete(name);
    dc.replaceAll(sensorsBox, sensors.map((sensor) => {
      const label = dc.element('label');
      const box = dc.element('input');
      box.type = 'checkbox';
      box.value = sensor;
      box.checked = checked.has(sensor);
      box.addEventListener('change', () => {
        if (box.checked) checked.add(sensor); else checked.delete(sensor);
        plot().catch((e) => dc.status(e.message));
      });
      label.append(box, document.createTextNode(' ' + sensor));
      const line = dc.element('div');
      line.append(label);
      return line;
    }));
  }

  // Each sensor's value range, widened when it holds one value only.
  function range(series) {
    let low = Infinity, high = -Infinity;
    for (const [, value] of series.points) {
      low = Math.min(low, value);
      high = Math.max(high, value);
    }
    return high > low ? { low, high } : { low: low - 1, high: high + 1 };
  }

  // One row per time, one column per sensor (null where a sensor has no point then).
  // Each sensor is drawn on its own scale, as in the window: its range mapped
  // onto the range of the sensor whose scale the axis shows.
  function table(seriesList, scale) {
    const rows = new Map();
    const ranges = seriesList.map(range);
    const axis = ranges[scale];
    seriesList.forEach((series, column) => {
      const own = ranges[column];
      const factor = (axis.high - axis.low) / (own.high - own.low);
      for (const [ms, value] of series.points) {
        if (!rows.has(ms)) rows.set(ms, new Array(seriesList.length).fill(null));
        rows.get(ms)[column] = axis.low + (value - own.low) * factor;
      }
    });
    return [...rows.keys()].sort((a, b) => a - b).map((ms) => [dc.wallClock(ms), ...rows.get(ms)]);
  }

  async function plot() {
    const unit = select.value;
    const names = [...checked].sort();
    const plotNode = document.getElementById('plot');
    if (!unit || names.length === 0) {
      if (graph) graph.destroy();
      graph = null;
      dc.replaceAll(plotNode, [dc.element('p', 'Check a sensor to plot it.')]);
      document.getElementById('not-plotted').textContent = '';
      return;
    }
    const seriesList = await Promise.all(names.map((sensor) => dc.json(
      '/api/series?unit=' + encodeURIComponent(unit) + '&sensor=' + encodeURIComponent(sensor))));
    if (!names.includes(scaleName)) scaleName = names[0];
    const rows = table(seriesList, names.indexOf(scaleName));
    showStatus(names, seriesList);
    if (rows.length === 0) {
      if (graph) graph.destroy();
      graph = null;
      dc.replaceAll(plotNode, [dc.element('p', 'No records to plot.')]);
      return;
    }
    const options = {
      labels: ['Time', ...names],
      connectSeparatedPoints: true,
      // The library writes its legend as markup: ours is text (names come from units).
      legend: 'never',
    };
    if (graph && graph.getLabels().join('\u0000') === options.labels.join('\u0000')) {
      graph.updateOptions({ file: rows });
    } else {
      if (graph) graph.destroy();
      plotNode.replaceChildren();
      graph = new Dygraph(plotNode, rows, options);
    }
    showLegend(names, graph.getColors());
  }

  function plural(count, word) {
    return count + ' ' + word + (count === 1 ? '' : 's');
  }

  function showStatus(names, seriesList) {
    const lines = [];
    const skipped = seriesList.reduce((sum, s) => sum + s.notPlotted, 0);
    if (skipped) lines.push(plural(skipped, 'line') + ' not plotted');
    seriesList.forEach((series, i) => {
      if (!series.outside) return;
      let line = names[i] + ': ' + plural(series.outside, 'record') + ' outside the shown days';
      if (series.lastOutside) line += ' (last dated ' + dc.time(series.lastOutside) + ')';
      lines.push(line);
    });
    document.getElementById('not-plotted').textContent = lines.join('\n');
  }

  // A click on a sensor's name puts its scale on the axis.
  function showLegend(names, colors) {
    dc.replaceAll(document.getElementById('legend'), names.map((name, i) => {
      const onAxis = name === scaleName;
      const item = dc.element('span', '\u25a0 ' + name + (onAxis ? ' (axis)' : '') + '   ');
      item.style.color = colors[i];
      item.style.cursor = 'pointer';
      item.dataset.sensor = name;
      item.addEventListener('click', () => {
        scaleName = name;
        plot().catch((e) => dc.status(e.message));
      });
      return item;
    }));
  }

  select.addEventListener('change', () => {
    checked.clear();
    showSensorChoices();
    plot().catch((e) => dc.status(e.message));
  });

  dc.every(5000, async () => {
    const answer = await dc.json('/api/units');
    units = answer.units;
    document.getElementById('beyond-limit').textContent = answer.sensorsBeyondLimit
      ? plural(answer.sensorsBeyondLimit, 'sensor') + ' beyond the limit of ' + answer.sensorLimit +
        ' not listed (nor in /metrics)'
      : '';
    dc.fillSelect(select, units.map((unit) => unit.name));
    showSensorChoices();
  });
  dc.every(1000, plot);
})();
