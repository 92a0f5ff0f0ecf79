// Follows navbeacon-maphost's gotos: each one re-centres the map at its
// zoom, moves the marker and extends the trail. The host sends the last
// goto first on every (re)connection, so a page opened late or a host
// restarted needs nothing else.
'use strict';

const TRAIL_LENGTH = 100;

// Global so that scripts and tests can read map.getCenter() and map.getZoom().
var map = L.map('map', { worldCopyJump: true }).setView([20, 0], 2);
const trail = L.polyline([], { color: '#1f6feb', weight: 3, opacity: 0.7 }).addTo(map);
let marker = null;

const positionText = document.getElementById('position');
const connectionText = document.getElementById('connection');
const tilesText = document.getElementById('tiles');

fetch('/config').then((response) => response.json()).then((config) => {
  const layer = L.tileLayer(config.tiles, {
    attribution: config.attribution, maxZoom: 19,
  });
  // Without a network the tiles fail and the page says so; the marker,
  // the trail and the figures still follow each goto.
  layer.on('tileerror', () => { tilesText.hidden = false; });
  layer.on('tileload', () => { tilesText.hidden = true; });
  layer.addTo(map);
});

function show(where) {
  const here = [where.latitude, where.longitude];
  map.setView(here, where.zoom, { animate: false });
  if (marker) marker.setLatLng(here); else marker = L.marker(here).addTo(map);
  const points = trail.getLatLngs();
  points.push(here);
  trail.setLatLngs(points.slice(-TRAIL_LENGTH));
  const time = new Date(where.time);
  positionText.textContent =
    `${Math.abs(where.latitude).toFixed(6)}° ${where.latitude < 0 ? 'S' : 'N'}, ` +
    `${Math.abs(where.longitude).toFixed(6)}° ${where.longitude < 0 ? 'W' : 'E'}\n` +
    `zoom ${where.zoom} · ${time.toLocaleTimeString()}`;
  positionText.dataset.latitude = where.latitude;
  positionText.dataset.longitude = where.longitude;
}

function setConnected(up) {
  connectionText.className = up ? 'up' : 'down';
  connectionText.textContent = up
    ? 'Connected to navbeacon-maphost'
    : 'Not connected to navbeacon-maphost: retrying…';
}

// The browser reconnects a stream that breaks; one it gave up on (the host
// answered with an error) is opened again here.
function listen() {
  const events = new EventSource('/events');
  events.onopen = () => setConnected(true);
  events.onmessage = (event) => show(JSON.parse(event.data));
  events.onerror = () => {
    setConnected(false);
    if (events.readyState === EventSource.CLOSED) setTimeout(listen, 2000);
  };
}
listen();
