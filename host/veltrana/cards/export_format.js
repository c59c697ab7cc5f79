function (fmt, options) {
    // Applies the chosen export format to the figures already drawn (a drawn graph keeps the
    // camera options it was plotted with until it is plotted again), and makes the camera's PNG
    // carry its resolution: 100 pixels per inch times the scale, so 1200 x 800 at scale 3 reads
    // as 12 x 8 inches at 300 dpi. Returns the format applied.
    const state = window.veltranaExports = window.veltranaExports || {};

    function crc32(bytes) {
        let crc = 0xFFFFFFFF;
        for (let n = 0; n < bytes.length; n++) {
            let c = (crc ^ bytes[n]) & 0xFF;
            for (let k = 0; k < 8; k++) c = c & 1 ? (c >>> 1) ^ 0xEDB88320 : c >>> 1;
            crc = (crc >>> 8) ^ c;
        }
        return (crc ^ 0xFFFFFFFF) >>> 0;
    }

    // The PNG with a pHYs chunk of `dpi` (replacing one it has), placed before the image data.
    function withDpi(png, dpi) {
        const perMetre = Math.round(dpi / 0.0254);
        const chunk = new Uint8Array(21);
        const view = new DataView(chunk.buffer);
        view.setUint32(0, 9);
        chunk.set([0x70, 0x48, 0x59, 0x73], 4);  // "pHYs"
        view.setUint32(8, perMetre);
        view.setUint32(12, perMetre);
        chunk[16] = 1;                             // unit: the metre
        view.setUint32(17, crc32(chunk.subarray(4, 17)));
        const read = new DataView(png.buffer, png.byteOffset);
        let at = 8;                                // after the signature
        while (at + 8 <= png.length) {
            const type = String.fromCharCode(...png.subarray(at + 4, at + 8));
            const end = at + 12 + read.getUint32(at);
            if (type === 'pHYs' || type === 'IDAT') {
                const out = new Uint8Array(png.length + 21 - (type === 'pHYs' ? end - at : 0));
                out.set(png.subarray(0, at));
                out.set(chunk, at);
                out.set(png.subarray(type === 'pHYs' ? end : at), at + 21);
                return out;
            }
            at = end;
        }
        return png;
    }

    function savePng(gd, opts) {
        const name = (opts.filename || 'newplot') + '.png';
        const {filename, ...image} = opts;
        return window.Plotly.toImage(gd, image).then(url => {
            const bytes = Uint8Array.from(atob(url.split(',')[1]), c => c.charCodeAt(0));
            const link = document.createElement('a');
            link.href = URL.createObjectURL(new Blob([withDpi(bytes, 100 * (opts.scale || 1))], {type: 'image/png'}));
            link.download = name;
            document.body.appendChild(link);
            link.click();
            link.remove();
            setTimeout(() => URL.revokeObjectURL(link.href), 60000);
            return name;
        });
    }

    // plotly.js arrives after the page's scripts: the camera's download is wrapped once it is here.
    if (!state.waiting) {
        state.waiting = setInterval(() => {
            if (!(window.Plotly && window.Plotly.register)) return;
            clearInterval(state.waiting);
            const original = window.Plotly.downloadImage;
            window.Plotly.register({moduleType: 'apiMethod', name: 'downloadImage', fn: (gd, opts) =>
                opts && opts.format === 'png' ? savePng(gd, opts) : original(gd, opts)});
            state.pngDpi = true;
        }, 100);
    }

    const chosen = options.formats[fmt] || options.formats[options.first];
    for (const id of options.ids) {
        const holder = document.getElementById(id);
        const gd = holder && holder.querySelector('.js-plotly-plot');
        if (!gd || !gd._context) continue;                 // not drawn yet: it plots with its config
        gd._context.toImageButtonOptions = Object.assign({}, chosen);
        const camera = gd.querySelector('.modebar-btn[data-attr="toImage"], .modebar-btn[data-title^="Download plot"]');
        if (camera) camera.setAttribute('data-title', chosen.format === 'png' ? 'Download plot as a PNG' : 'Download plot');
    }
    return chosen.format;
}
