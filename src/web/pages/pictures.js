// Each camera's newest picture of the chosen unit, scaled by the data unit.
'use strict';

(() => {
  const select = document.getElementById('unit');
  const shown = new Map();  // camera -> file and time shown

  function figure(unit, camera) {
    const node = dc.element('figure');
    const image = dc.element('img');
    image.alt = camera.camera;
    node.append(image, dc.element('figcaption'));
    return node;
  }

  async function refresh() {
    const units = (await dc.json('/api/units')).units.map((unit) => unit.name);
    dc.fillSelect(select, units);
    if (!select.value) return;
    const unit = select.value;
    const cameras = (await dc.json('/api/pictures?unit=' + encodeURIComponent(unit))).cameras;
    const section = document.getElementById('cameras');
    const figures = cameras.map((camera) => {
      const key = unit + '\u0000' + camera.camera;
      let entry = shown.get(key);
      if (!entry) {
        entry = { node: figure(unit, camera), stamp: null };
        shown.set(key, entry);
      }
      const stamp = camera.file ? camera.file + '\u0000' + camera.time : null;
      if (stamp !== entry.stamp) {
        entry.stamp = stamp;
        const image = entry.node.querySelector('img');
        if (camera.file) {
          image.src = '/picture?unit=' + encodeURIComponent(unit) + '&camera=' +
            encodeURIComponent(camera.camera) + '&at=' + encodeURIComponent(camera.time);
        } else {
          image.removeAttribute('src');
        }
        entry.node.querySelector('figcaption').textContent = camera.file
          ? camera.camera + ': ' + camera.file + '\n' + dc.time(camera.time)
          : camera.camera + ': no picture';
      }
      return entry.node;
    });
    dc.replaceAll(section, figures);
  }

  select.addEventListener('change', () => refresh().catch((e) => dc.status(e.message)));
  dc.every(2000, refresh);
})();
