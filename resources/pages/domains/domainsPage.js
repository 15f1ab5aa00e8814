'use strict';

function domainsPage() {
    console.log('DomainsPage');
    // A side page left slid in (a logout from it) must not cover the list on the next entry.
    document.querySelector('.main-container .page').classList.remove('slided');
    dom.show_sidebar();
    // The channel delivers property changes up to 50 ms after the signals that follow them, so right after a
    // quick login from the form its copy of the user name can still be empty: keep the name typed there.
    document.querySelector('.navbar .username').textContent = ORV.auth.username || login.username || '';
    ORV.getDomainsJson(function (list) {
        domains.list = list || [];
        domains.showPage();
    });
}

var domains = {
    list: [],
    overlayDelayMs: 500,
    typeKeys: ['rs_232_a', 'rs_232_b', 'rs_485', 'usb'],
    // The drawn device rows by their data-id (text), and the list they were drawn in: built once per drawing,
    // so that a reload or a VPN event finds a row without searching the document.
    rowIndex: new Map(),
    indexedContainer: null,
    // Rows whose name starts a connection: those online when the list was drawn. Held strongly: a weak set could
    // lose a row whose script object the engine dropped and made anew.
    connectableRows: new Set(),

    // Leaving the screen lets the list and its rows go: the page keeps no copy of a big account after a logout.
    forget: function () {
        app.removeTooltip();
        domains.list = [];
        domains.rowIndex = new Map();
        domains.connectableRows = new Set();
        domains.indexedContainer = null;
    },

    container: function () {
        return document.getElementById('domainsContainer');
    },

    indexRows: function (container) {
        var index = new Map();
        var connectable = new Set();
        container.querySelectorAll('.row.device').forEach(function (row) {
            if (row.classList.contains('no-devices')) {
                return;
            }
            var id = row.getAttribute('data-id');
            if (!index.has(id)) {
                index.set(id, row);
            }
            if (!row.classList.contains('offline')) {
                connectable.add(row);
            }
        });
        domains.rowIndex = index;
        domains.connectableRows = connectable;
        domains.indexedContainer = container;
    },

    rowOf: function (device_id) {
        var container = domains.container();
        if (container === null || container !== domains.indexedContainer) {
            return null;
        }
        return domains.rowIndex.get(String(device_id)) || null;
    },

    showPage: function () {
        app.removeTooltip();
        app_router.loadPage('domains', { variable: 'data' }, { list: domains.list });
        // The login form's caret outlives the form in the engine's selection, with no place left to stand on this
        // screen, where nothing can be selected: after every change of the page the engine would search the whole
        // list for one before the next frame.
        window.getSelection().removeAllRanges();
        var container = domains.container();
        domains.indexRows(container);

        // A list is as tall as its rows, which are all of one height: one row is measured, so that the domains out
        // of view need no layout at all.
        var lists = Array.prototype.slice.call(container.querySelectorAll('.device-container'));
        var firstRow = container.querySelector('.row.device');
        var rowHeight = firstRow === null ? 0 : firstRow.getBoundingClientRect().height;
        lists.forEach(function (devices) {
            devices.style.maxHeight = devices.childElementCount * rowHeight + 'px';
            devices.classList.add('closed');
        });

        container.addEventListener('click', domains.onHeaderClick, true);
        ORV.getLastDomainIdOpened(function (domainId) {
            var headers = Array.prototype.slice.call(container.querySelectorAll('.domain'));
            var remembered = headers.find(function (header) {
                return header.getAttribute('data-id') === String(domainId);
            });
            var header = remembered || headers[0];
            if (header !== undefined) {
                header.click();
            }
        });

        // One listener for the icons of every row, and one tooltip made while the pointer is on an icon.
        container.addEventListener('click', domains.onRowClick);
        app.addTooltips(container, [{ selector: '.connect', placement: 'top', key: 'start_vpn' },
                                    { selector: '.web-ui', placement: 'top', key: 'open_web_ui' }]);

        domains.installSidePageHandlers();
        ORV_EVENTS.addListener(EVENT_RELOAD_DOMAINS_SUCCESS, domains.onReloadEvent);
        domains.vpn.redraw();

        ORV.tour1IsNeeded(function (needed) {
            if (needed) {
                tour.step_1.show();
                ORV.tour1IsNotNeeded();
            }
        });
    },

    onRowClick: function (event) {
        var row = event.target.closest('.row.device');
        if (row === null) {
            return;
        }
        var id = row.getAttribute('data-id');
        var icon = event.target.closest('.connect, .web-ui, .settings');
        if (icon !== null && icon.classList.contains('web-ui')) {
            ORV.openDeviceWebUI(id);
        } else if (icon !== null && icon.classList.contains('settings')) {
            var device = domains.getDeviceByDeviceId(id);
            if (device !== null) {
                domains.showVirtualSerialPortsPage(device, domains.slideIn);
            }
        } else if (icon !== null || (event.target.closest('.name') !== null && domains.connectableRows.has(row))) {
            domains.connectRow(row);
        }
    },

    onHeaderClick: function (event) {
        var header = event.target.closest('.domain');
        var domainContainer = header === null ? null : header.closest('.domain-container');
        if (header === null || domainContainer === null) {
            return;
        }
        var devices = domainContainer.querySelector('.device-container');
        var icon = header.querySelector('.icon-toggle');
        domains.keepHeight(domainContainer, header, devices);
        if (devices.classList.contains('closed')) {
            devices.classList.remove('closed');
            icon.textContent = 'arrow_drop_up';
            var id = header.getAttribute('data-id');
            if (id !== null && id !== '') {
                ORV.setLastDomainIdOpened(id);
            }
        } else {
            devices.classList.add('closed');
            icon.textContent = 'arrow_drop_down';
        }
    },

    // The height a domain out of view keeps: its header, and its list once open.
    keepHeight: function (domainContainer, header, devices) {
        var opening = devices.classList.contains('closed');
        var height = header.offsetHeight + (opening ? parseFloat(devices.style.maxHeight) || 0 : 0);
        domainContainer.style.setProperty('contain-intrinsic-size', '1px ' + height + 'px');
    },

    onReloadEvent: function () {
        ORV.getDomainsJson(function (list) {
            domains.on_domains_reloaded(list || []);
        });
    },

    connectRow: function (row) {
        domains.resetHighlight();
        domains.markConnecting(row);
        dom.vpn.connecting();
        ORV.startVpnDevice(row.getAttribute('data-id'));
    },

    resetHighlight: function () {
        var container = domains.container();
        if (container === null) {
            return;
        }
        container.querySelectorAll('.row.device.bg-orange, .row.device.bg-green').forEach(function (row) {
            row.classList.remove('bg-orange', 'bg-green');
            var spinner = row.querySelector('.spinner-vpn');
            spinner.classList.remove('loader');
            spinner.innerHTML = '';
            var connect = row.querySelector('.connect');
            if (connect !== null) {
                connect.style.display = '';
            }
        });
    },

    markConnecting: function (row) {
        row.classList.add('bg-orange');
        row.querySelector('.spinner-vpn').classList.add('loader');
        var connect = row.querySelector('.connect');
        if (connect !== null) {
            connect.style.display = 'none';
        }
    },

    deviceRow: function (device) {
        if (!Array.isArray(device) || device.length === 0) {
            return null;
        }
        return domains.rowOf(device[0].id);
    },

    vpn: {
        connecting: function (device) {
            domains.resetHighlight();
            var row = domains.deviceRow(device);
            if (row !== null) {
                domains.markConnecting(row);
            }
        },

        connected: function (device) {
            domains.resetHighlight();
            var row = domains.deviceRow(device);
            if (row === null) {
                return;
            }
            row.classList.add('bg-green');
            var spinner = row.querySelector('.spinner-vpn');
            spinner.innerHTML = '';
            var shield = document.createElement('img');
            shield.src = '/img/shield_white.svg';
            shield.alt = '';
            spinner.appendChild(shield);
            var connect = row.querySelector('.connect');
            if (connect !== null) {
                connect.style.display = 'none';
            }
        },

        disconnected: function () {
            domains.resetHighlight();
        },

        // A tunnel that started or came up before the rows were drawn marks its row as the sidebar shows it.
        redraw: function () {
            var event = app.lastVpnEvent;
            if (event === null) {
                return;
            }
            if (event.type === EVENT_VPN_CONNECTING) {
                domains.vpn.connecting(event.detail.device);
            } else if (event.type === EVENT_VPN_CONNECTED) {
                domains.vpn.connected(event.detail.device);
            }
        }
    },

    getDeviceByDeviceId: function (device_id) {
        for (var i = 0; i < domains.list.length; ++i) {
            var devices = domains.list[i].devices || [];
            for (var j = 0; j < devices.length; ++j) {
                if (String(devices[j].id) === String(device_id)) {
                    console.log(devices[j]);
                    return devices[j];
                }
            }
        }
        return null;
    },

    on_domains_reloaded: function (list) {
        list.forEach(function (domain) {
            (domain.devices || []).forEach(function (device) {
                var row = domains.rowOf(device.id);
                if (row === null) {
                    return;
                }
                var offline = device.vpn_status !== 1;
                row.classList.toggle('bg-grey', offline);
                row.classList.toggle('offline', offline);
            });
        });
    },

    // The side page with the virtual serial ports of one device.
    sidePage: function () {
        return document.getElementById('serialVirtualPortPage');
    },

    setSideOverlay: function (shown) {
        domains.sidePage().querySelector('.form-overlay').classList.toggle('hidden', !shown);
    },

    closeForm: function () {
        domains.sidePage().querySelector('.form-container').classList.add('closed');
    },

    // The side page stands at the top of the page area as it is scrolled now: the area cannot be scrolled while
    // the side page shows, so a side page at the top of the list would be out of sight.
    slideIn: function () {
        var page = document.querySelector('.main-container .page');
        domains.sidePage().style.top = page.scrollTop + 'px';
        page.classList.add('slided');
    },

    sideDeviceId: function () {
        return domains.sidePage().querySelector('.side-header').getAttribute('data-id');
    },

    showVirtualSerialPortsPage: function (device, callback) {
        var page = domains.sidePage();
        var header = page.querySelector('.side-header');
        header.querySelector('.name').textContent = device.name;
        header.setAttribute('data-id', device.id);

        ORV.getVirtualSerialPortsByDeviceIdJson(device.id, function (answer) {
            var ports = answer === undefined || answer === null ? [] : answer;
            var column = page.querySelector('.virtual-serial-ports-container .column');
            column.innerHTML = _.template($('script#virtualSerialPortsTemplate').html(), { variable: 'data' })(
                { ports: ports });
            page.querySelector('.virtual-serial-ports-container').classList.remove('closed');

            column.querySelector('.icon-create-new').addEventListener('click', function () {
                page.querySelector('.form-container').classList.remove('closed');
                ORV.tour3IsNeeded(function (needed) {
                    if (needed) {
                        tour.step_3.show();
                        ORV.tour3IsNotNeeded();
                    }
                });
            });

            if (ports.length === 0) {
                ORV.tour2IsNeeded(function (needed) {
                    if (needed) {
                        tour.step_2.show();
                        ORV.tour2IsNotNeeded();
                    }
                });
            }

            domains.offerFreeTypes(ports);
            column.querySelectorAll('.remove').forEach(function (icon) {
                icon.addEventListener('click', domains.removeVirtualSerialPort);
            });
            callback();
        });
    },

    // A device has at most one port of each type: the form offers only the types not yet used.
    offerFreeTypes: function (ports) {
        var page = domains.sidePage();
        var select = page.querySelector('select[name="type"]');
        var options = Array.prototype.slice.call(select.options);
        options.forEach(function (option) {
            option.disabled = false;
            option.selected = false;
            option.removeAttribute('disabled');
            option.removeAttribute('selected');
        });
        ports.forEach(function (port) {
            options.forEach(function (option) {
                if (option.value === String(port.type)) {
                    option.disabled = true;
                }
            });
        });
        var free = options.filter(function (option) {
            return !option.disabled;
        });
        var addRow = page.querySelector('.create-new');
        if (free.length === 0) {
            addRow.style.display = 'none';
            domains.closeForm();
        } else {
            free[0].selected = true;
            addRow.style.display = '';
        }
    },

    redrawSidePage: function (device_id, then) {
        var device = domains.getDeviceByDeviceId(device_id);
        if (device === null) {
            domains.setSideOverlay(false);
            return;
        }
        domains.showVirtualSerialPortsPage(device, function () {
            domains.setSideOverlay(false);
            then();
        });
    },

    installSidePageHandlers: function () {
        var page = domains.sidePage();
        page.querySelector('.button-create').addEventListener('click', function () {
            domains.setSideOverlay(true);
            setTimeout(function () {
                var device_id = parseInt(domains.sideDeviceId(), 10);
                var type = parseInt(page.querySelector('select[name="type"]').value, 10);
                ORV.create(type, device_id, function (created) {
                    domains.redrawSidePage(device_id, function () {
                        if (created !== true) {
                            return;
                        }
                        ORV.tour4IsNeeded(function (needed) {
                            if (needed) {
                                tour.step_4.show();
                                ORV.tour4IsNotNeeded();
                            }
                        });
                    });
                });
            }, domains.overlayDelayMs);
        });
        page.querySelector('.button-cancel').addEventListener('click', domains.closeForm);
        page.querySelector('.icon-back').addEventListener('click', function () {
            document.querySelector('.main-container .page').classList.remove('slided');
            page.querySelector('.virtual-serial-ports-container').classList.add('closed');
            domains.closeForm();
        });
    },

    removeVirtualSerialPort: function (event) {
        var row = event.target.closest('.virtual-serial-port');
        domains.setSideOverlay(true);
        setTimeout(function () {
            var type = row.getAttribute('data-type');
            var device_id = domains.sideDeviceId();
            ORV.destroyVirtualSerialPort(device_id, type, function () {
                domains.redrawSidePage(device_id, function () {});
            });
        }, domains.overlayDelayMs);
    }
};
