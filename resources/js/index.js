'use strict';

var ORV = null;
var channel = null;

var app = {
    language: undefined,
    languages: ['en', 'it'],
    trafficUnits: ['B', 'kB', 'MB', 'GB'],
    trafficPollMs: 3000,
    trafficPoll: null,

    // The table used for texts: a language without its own table reads the English one.
    tableLanguage: function (lang) {
        return Object.prototype.hasOwnProperty.call(resources, lang) ? lang : 'en';
    },

    setLanguage: function (lang) {
        i18next.init({
            debug: true,
            lng: lang,
            fallbackLng: 'en',
            resources: resources
        });
    },

    translateKeyed: function () {
        document.querySelectorAll('[data-i18n]').forEach(function (element) {
            element.innerHTML = i18next.t(element.getAttribute('data-i18n'));
        });
    },

    // The markup a text gets once it is in the document, so texts holding tags compare as the browser keeps them.
    normalisedHtml: function (text) {
        var holder = document.createElement('div');
        holder.innerHTML = text;
        return holder.innerHTML.trim();
    },

    changeLanguage: function (lang) {
        var oldTable = resources[app.tableLanguage(app.language)].translation;
        var newTable = resources[app.tableLanguage(lang)].translation;
        app.language = lang;
        ORV.setLanguage(lang);
        i18next.changeLanguage(lang);
        app.translateKeyed();

        var oldTexts = {};
        Object.keys(oldTable).forEach(function (key) {
            oldTexts[key] = app.normalisedHtml(oldTable[key]);
        });
        // Texts drawn without a key are found again by their old-language text; device names match none.
        var selector = '.main-container .to-translate, .anno-content, .anno-btn, .tooltip-inner';
        document.querySelectorAll(selector).forEach(function (element) {
            var current = element.innerHTML.trim();
            Object.keys(oldTexts).forEach(function (key) {
                if (oldTexts[key] === current) {
                    element.innerHTML = newTable[key];
                }
            });
        });
    },

    languageIndex: function (lang) {
        var index = app.languages.indexOf(String(lang).toLowerCase());
        return index < 0 ? 0 : index;
    },

    toggleLanguage: function () {
        var next = app.languages[(app.languageIndex(app.language) + 1) % app.languages.length];
        var container = document.querySelector('.lang-container');
        // The newest label leaves; an older one may still be sliding out after a quick second click.
        var labels = container.querySelectorAll('.lang-text');
        var oldLabel = labels[labels.length - 1];
        var newLabel = document.createElement('span');
        newLabel.className = 'lang-text';
        newLabel.textContent = next.toUpperCase();
        container.appendChild(newLabel);
        app.changeLanguage(next);
        oldLabel.classList.add('translate-left');
        setTimeout(function () {
            if (oldLabel.parentNode !== null) {
                oldLabel.parentNode.removeChild(oldLabel);
            }
        }, 200);
    },

    loadTemplate: function () {
        template.load();
    },

    // Up to three divisions by 1024, each rounded to one decimal before the next comparison.
    formatTraffic: function (bytes) {
        var value = Number(bytes) || 0;
        var unit = 0;
        for (var i = 0; i < 3 && value >= 1024; ++i) {
            value = Number((value / 1024).toFixed(1));
            unit += 1;
        }
        return { value: String(value), unit: app.trafficUnits[unit] };
    },

    showTraffic: function (stats) {
        var values = { '.stats-in': stats ? stats.bytesIn : 0, '.stats-out': stats ? stats.bytesOut : 0 };
        Object.keys(values).forEach(function (box) {
            var shown = app.formatTraffic(values[box]);
            document.querySelector('.vpn-stats ' + box + ' .value').textContent = shown.value;
            document.querySelector('.vpn-stats ' + box + ' .unit').textContent = shown.unit;
        });
    },

    pollTraffic: function () {
        ORV.getVpnStatsJson(function (stats) {
            app.showTraffic(stats);
        });
    },

    // Centres the spinner on the shield as drawn. The nested drawing may report its view box or its shape's box
    // depending on the engine, so the shape itself is measured, and the spinner is moved by what it is off.
    placeShieldSpinner: function () {
        var shape = document.querySelector('#vpn_shield path');
        var spinner = document.querySelector('.shield.loader');
        if (shape === null || spinner === null) {
            return;
        }
        var target = shape.getBoundingClientRect();
        var current = spinner.getBoundingClientRect();
        // Nothing is drawn while the sidebar is hidden; showing it places the spinner again.
        if (target.width === 0 || current.width === 0) {
            return;
        }
        var style = getComputedStyle(spinner);
        var dx = target.left + target.width / 2 - (current.left + current.width / 2);
        var dy = target.top + target.height / 2 - (current.top + current.height / 2);
        spinner.style.left = (parseFloat(style.left) + dx) + 'px';
        spinner.style.top = (parseFloat(style.top) + dy) + 'px';
    },

    // The VPN state last drawn, so that a screen drawn later shows it too.
    lastVpnEvent: null,

    rememberVpnEvent: function (event) {
        app.lastVpnEvent = event;
    },

    // The tunnel may have come up (or started) before this page could listen: draw the state it is in now,
    // the same way as the program's own signals, behind any signal already on its way.
    drawCurrentTunnel: function () {
        if (ORV.vpn === undefined || ORV.vpn === null) {
            return;
        }
        ORV.vpn.getStatus(function (status) {
            if (status !== 2 && status !== 3) {
                return;
            }
            var entry = vpnSignals.enqueue(status === 3);
            app.tunnelEvent(status, function (event) {
                vpnSignals.ready(entry, event);
            });
        });
    },

    // The event that draws the tunnel in the program's status (2 connecting, 3 connected), with its device.
    tunnelEvent: function (status, done) {
        ORV.vpn.getDeviceId(function (device_id) {
            ORV.getDeviceByIdJson(device_id, function (device) {
                done(orvEvent(status === 3 ? EVENT_VPN_CONNECTED : EVENT_VPN_CONNECTING, { device: device }));
            });
        });
    },

    deviceReady: function () {
        ORV.getApplicationName(function (name) {
            document.querySelector('.app-name .name').textContent = name;
        });
        ORV.getApplicationVersion(function (version) {
            document.querySelector('.app-name .version').textContent = 'v' + version;
        });

        app.language = ORV.language;
        app.setLanguage(app.language);
        app.translateKeyed();
        document.querySelector('.lang-text').textContent = app.languages[app.languageIndex(app.language)].toUpperCase();
        document.querySelector('.language').addEventListener('click', app.toggleLanguage);

        app_router = new AppRouter();
        try {
            Backbone.history.start({ pushState: true });
        } catch (error) {
            console.log('Backbone history start: ' + error.message);
        }

        document.body.addEventListener('click', function (event) {
            var source = event.target.closest('[data-input]');
            if (source === null) {
                return;
            }
            var name = source.getAttribute('data-input');
            console.log(name);
            var input = document.querySelector('[name="' + name + '"]');
            if (input !== null) {
                input.focus();
            }
        });

        dom.vpn.create_shield();
        document.querySelector('#vpn-shield-container .power-button').addEventListener('click', dom.vpn.powerClicked);
        window.addEventListener('resize', app.placeShieldSpinner, true);

        ORV_EVENTS.addListener(EVENT_VPN_CONNECTING, dom.vpn.onConnecting);
        ORV_EVENTS.addListener(EVENT_VPN_CONNECTED, dom.vpn.onConnected);
        ORV_EVENTS.addListener(EVENT_VPN_DISCONNECTED, dom.vpn.onDisconnected);
        ORV_EVENTS.addListener(EVENT_VPN_CONNECTING, function (event) {
            domains.vpn.connecting(event.detail.device);
        });
        ORV_EVENTS.addListener(EVENT_VPN_CONNECTED, function (event) {
            domains.vpn.connected(event.detail.device);
        });
        ORV_EVENTS.addListener(EVENT_VPN_DISCONNECTED, function () {
            domains.vpn.disconnected();
        });
        [EVENT_VPN_CONNECTING, EVENT_VPN_CONNECTED, EVENT_VPN_DISCONNECTED].forEach(function (name) {
            ORV_EVENTS.addListener(name, app.rememberVpnEvent);
        });
        app.drawCurrentTunnel();

        app.trafficPoll = setInterval(app.pollTraffic, app.trafficPollMs);

        var logout = document.querySelector('.navbar .logout');
        logout.addEventListener('click', function () {
            ORV.logout();
        });
        app.addTooltips(logout, [{ selector: '.logout', placement: 'bottom', key: 'logout' }]);

        ORV_EVENTS.addListener(EVENT_AUTH_LOGOUT, function () {
            app_router.navigate('login', { trigger: true });
        });
    },

    // The one tooltip on screen: the element it belongs to, the tooltip once shown, and its pending show.
    hoverTip: null,
    tooltipDelayMs: 150,

    // Tooltips for the elements under `root` that match an entry's selector: one is made when the pointer has
    // rested on such an element for the delay, in the current language, and goes as soon as the pointer leaves
    // it. The listeners sit on `root`, so any number of elements costs nothing until one is hovered.
    addTooltips: function (root, entries) {
        root.addEventListener('mouseenter', function (event) {
            var entry = entries.find(function (candidate) {
                return event.target.matches(candidate.selector);
            });
            if (entry !== undefined) {
                app.scheduleTooltip(event.target, entry);
            }
        }, true);
        root.addEventListener('mouseleave', function (event) {
            if (app.hoverTip !== null && app.hoverTip.element === event.target) {
                app.removeTooltip();
            }
        }, true);
    },

    scheduleTooltip: function (element, entry) {
        app.removeTooltip();
        var tip = { element: element, tooltip: null, timer: null };
        tip.timer = setTimeout(function () {
            tip.timer = null;
            // The element may have left the page meanwhile (a redrawn list): nothing to point at.
            if (!document.body.contains(element)) {
                return;
            }
            tip.tooltip = new Tooltip(element, {
                placement: entry.placement,
                title: function () {
                    return i18next.t(entry.key);
                },
                trigger: 'manual',
                container: document.body
            });
            tip.tooltip.show();
        }, app.tooltipDelayMs);
        app.hoverTip = tip;
    },

    removeTooltip: function () {
        var tip = app.hoverTip;
        app.hoverTip = null;
        if (tip === null) {
            return;
        }
        if (tip.timer !== null) {
            clearTimeout(tip.timer);
        }
        if (tip.tooltip !== null) {
            tip.tooltip.dispose();
        }
    }
};

var dom = {
    hide_sidebar: function () {
        document.querySelector('.sidebar').classList.add('hn');
        document.querySelector('.vpn-status-row').style.visibility = 'hidden';
    },

    show_sidebar: function () {
        document.querySelector('.sidebar').classList.remove('hn');
        document.querySelector('.vpn-status-row').style.visibility = 'visible';
        app.placeShieldSpinner();
    },

    vpn: {
        red: '#FF012E',
        orange: '#FF9C30',
        green: '#56F248',
        shield_container: null,
        shield: null,
        shield_icon: null,
        spinner: null,
        row: null,

        create_shield: function () {
            var self = dom.vpn;
            // The drawing is as wide as the shield and centred in its column by the style sheet.
            self.shield_container = SVG('vpn-shield-container').size(100, 100).addClass('shield-drawing');
            self.shield_container.svg('<svg id="vpn_shield" xmlns="http://www.w3.org/2000/svg" viewBox="0 0 73.5 73.5">'
                + '<path d="M37,72.2c32.1-19.4,32.1-26,32.2-46L69.3,6c-2.9,0.4-5.8,0.6-8.7,0.5c-8.2,0-16-1.6-23.3-4.3l0,0'
                + 'C30,4.9,22.2,6.4,14,6.3 c-3,0-5.9-0.2-8.7-0.6L5.2,25.9C5.1,45.9,5.1,52.5,37,72.2L37,72.2z"/></svg>');
            self.shield = SVG.get('vpn_shield');
            self.shield.width(100);
            self.shield.height(100);
            self.shield.fill(self.red);
            self.row = document.querySelector('.vpn-status-row');
            dom.vpn.setClasses(self.row, 'bg-', 'red');
            self.disconnected();
        },

        // Puts prefix + state on the element and removes the two other state classes.
        setClasses: function (element, prefix, state) {
            ['red', 'orange', 'green'].forEach(function (colour) {
                element.classList.toggle(prefix + colour, colour === state);
            });
        },

        clearOverlay: function () {
            var self = dom.vpn;
            if (self.shield_icon !== null) {
                self.shield_icon.remove();
                self.shield_icon = null;
            }
            if (self.spinner !== null) {
                self.spinner.remove();
                self.spinner = null;
            }
        },

        drawState: function (state, descKey) {
            var self = dom.vpn;
            self.clearOverlay();
            self.shield.fill(self[state]);
            self.setClasses(self.row, 'bg-', state);
            self.setClasses(document.querySelector('.status-tip'), 'border-', state);
            document.querySelector('.status-desc').textContent = i18next.t(descKey);
        },

        showPowerButton: function (labelKey) {
            var button = document.querySelector('#vpn-shield-container .power-button');
            button.style.setProperty('display', 'flex');
            button.querySelector('.desc').textContent = i18next.t(labelKey);
        },

        resetTraffic: function () {
            document.querySelectorAll('.vpn-stats .value').forEach(function (element) {
                element.textContent = '0';
            });
            document.querySelectorAll('.vpn-stats .unit').forEach(function (element) {
                element.textContent = 'B';
            });
        },

        // Two strokes drawn one after the other; coordinates are in the shield's own view box.
        drawStrokes: function (first, second) {
            var self = dom.vpn;
            self.shield_icon = self.shield.group();
            [first, second].forEach(function (stroke) {
                self.shield_icon.path(stroke.from).fill('none').stroke({ color: '#ffffff', width: 2 })
                    .animate(stroke.duration, '>', stroke.delay).plot(stroke.to);
            });
        },

        disconnected: function () {
            var self = dom.vpn;
            self.drawState('red', 'not_connected');
            self.showPowerButton('connect');
            document.querySelector('.status-tip').classList.add('to-translate');
            document.querySelector('.status-tip').textContent = i18next.t('select_a_device');
            self.drawStrokes({ from: 'M20 18', to: 'M20 18 l32.5 32.5', duration: 200, delay: 0 },
                             { from: 'M52.5 18', to: 'M52.5 18 l-32.5 32.5', duration: 200, delay: 200 });
        },

        connecting: function () {
            var self = dom.vpn;
            self.drawState('orange', 'not_connected');
            document.querySelector('#vpn-shield-container .power-button').style.setProperty('display', 'none',
                                                                                           'important');
            document.querySelector('.status-tip').classList.add('to-translate');
            document.querySelector('.status-tip').textContent = i18next.t('connecting_wait');
            self.resetTraffic();
            self.spinner = self.shield_container.foreignObject(100, 100).attr('id', 'fobj');
            self.spinner.appendChild('div', { class: 'shield loader' });
            app.placeShieldSpinner();
        },

        connected: function (device) {
            var self = dom.vpn;
            self.drawState('green', 'connected');
            self.showPowerButton('disconnect');
            var name = Array.isArray(device) && device.length > 0 ? device[0].name : '???';
            // Device names come from the portal: text, never markup, and never re-translated.
            document.querySelector('.status-tip').classList.remove('to-translate');
            document.querySelector('.status-tip').textContent = name;
            self.resetTraffic();
            self.drawStrokes({ from: 'M55 18', to: 'M55 18 l-22.5 30.5', duration: 300, delay: 0 },
                             { from: 'M55 18 m-22 30', to: 'M55 18 m-22 30 l-12 -10', duration: 100, delay: 300 });
        },

        onConnecting: function () {
            dom.vpn.connecting();
        },

        onConnected: function (event) {
            dom.vpn.connected(event.detail.device);
        },

        onDisconnected: function () {
            dom.vpn.disconnected();
        },

        powerClicked: function () {
            ORV.vpn.getStatus(function (status) {
                if (status === 3) {
                    ORV.stopVpn();
                } else {
                    dom.vpn.connecting();
                    ORV.startVpnLastDevice(false);
                }
            });
        }
    }
};

// A guided tour: shown at most once in the life of the page, 200 ms after it is asked for.
function makeTour(steps) {
    return {
        to_show: true,
        anno: null,
        show: function () {
            if (!this.to_show) {
                return;
            }
            this.to_show = false;
            var self = this;
            setTimeout(function () {
                self.anno = new Anno(steps().map(tourStep));
                self.anno.show();
            }, 200);
        }
    };
}

function tourButton(key, className, action) {
    return {
        textFn: function () {
            return i18next.t(key);
        },
        className: className,
        click: action
    };
}

var tourButtons = {
    skip: function () {
        return tourButton('skip', 'anno-btn-low-importance', function (anno) {
            anno.hide();
        });
    },
    next: function () {
        return tourButton('next', '', function (anno) {
            anno.switchToChainNext();
        });
    },
    done: function () {
        return tourButton('done', '', function (anno) {
            anno.hide();
        });
    }
};

// Turns a step description into Anno.js options: text read at show time, the target deaf to clicks
// while the step shows, and the step's classes on while it shows.
function tourStep(step) {
    var options = {
        target: step.target,
        textKey: step.key,
        position: step.position,
        buttons: step.buttons.map(function (make) {
            return make();
        }),
        contentFn: function () {
            return i18next.t(this.textKey);
        },
        onShow: function (anno, $target) {
            var target = $target.get(0);
            // Caught on the window before any handler of the target or its children can run: a listener on the
            // target itself would not stop the target's own handlers.
            var blocker = function (event) {
                if (target && target.contains(event.target)) {
                    event.stopPropagation();
                    event.preventDefault();
                }
            };
            window.addEventListener('click', blocker, true);
            (step.classes || []).forEach(function (entry) {
                $(entry.selector).first().addClass(entry.name);
            });
            return blocker;
        },
        onHide: function (anno, $target, $annoElem, blocker) {
            window.removeEventListener('click', blocker, true);
            (step.classes || []).forEach(function (entry) {
                $(entry.selector).first().removeClass(entry.name);
            });
        }
    };
    if (step.arrowPosition !== undefined) {
        options.arrowPosition = step.arrowPosition;
    }
    return options;
}

var tour = {
    step_1: makeTour(function () {
        return [
            { target: '.sidebar .content', key: 'tour1_step1', position: 'center-right',
              buttons: [tourButtons.skip, tourButtons.next] },
            { target: '#vpn-shield-container .power-button', key: 'tour1_step2', position: 'center-right',
              buttons: [tourButtons.skip, tourButtons.next] },
            { target: '.page', key: 'tour1_step3', position: 'center-left',
              buttons: [tourButtons.skip, tourButtons.next] },
            { target: '.row.device .icons', key: 'tour1_step4', position: 'left', buttons: [tourButtons.done],
              classes: [{ selector: '#domainsContainer', name: 'full-opacity' },
                        { selector: '#domainsContainer .device-container', name: 'no-position' }] }
        ];
    }),
    step_2: makeTour(function () {
        return [{ target: '.virtual-serial-ports-container', key: 'tour2_step1', position: { top: '115px', left: '121px' },
                  arrowPosition: 'center-top', buttons: [tourButtons.done],
                  classes: [{ selector: '.virtual-serial-ports-container', name: 'no-transition' }] }];
    }),
    step_3: makeTour(function () {
        return [{ target: '#serialVirtualPortPage .form-container', key: 'tour3_step1', position: 'center-top',
                  buttons: [tourButtons.done],
                  classes: [{ selector: '.virtual-serial-ports-container', name: 'allow-overflow' }] }];
    }),
    step_4: makeTour(function () {
        return [{ target: '.virtual-serial-ports-container', key: 'tour4_step1', position: { top: '115px', left: '121px' },
                  arrowPosition: 'center-top', buttons: [tourButtons.done],
                  classes: [{ selector: '.virtual-serial-ports-container', name: 'no-transition' }] }];
    })
};

// Program signals become window events; the VPN ones pass through the one-slot buffer.
function connectSignals() {
    var plain = function (signal, name) {
        signal.connect(function () {
            ORV_EVENTS.dispatch(orvEvent(name));
        });
    };
    plain(ORV.onLoadDomainsSuccess, EVENT_LOAD_DOMAINS_SUCCESS);
    plain(ORV.onLoadDomainsError, EVENT_LOAD_DOMAINS_ERROR);
    plain(ORV.onReloadDomainsSuccess, EVENT_RELOAD_DOMAINS_SUCCESS);
    plain(ORV.onReloadDomainsError, EVENT_RELOAD_DOMAINS_ERROR);

    var present = function (object) {
        return object !== undefined && object !== null;
    };
    if (present(ORV.api)) {
        ORV.api.onGetApiKeySuccess.connect(function (status, data) {
            ORV_EVENTS.dispatch(orvEvent(EVENT_API_KEY_GET_SUCCESS, { status: status, data: data }));
        });
        ORV.api.onGetApiKeyError.connect(function (status, data) {
            ORV_EVENTS.dispatch(orvEvent(EVENT_API_KEY_GET_ERROR, { status: status, data: data }));
        });
    }
    if (present(ORV.auth)) {
        plain(ORV.auth.onLoginSuccess, EVENT_AUTH_LOGIN_SUCCESS);
        plain(ORV.auth.onLoginError, EVENT_AUTH_LOGIN_ERROR);
        plain(ORV.auth.onLogout, EVENT_AUTH_LOGOUT);
    }
    if (present(ORV.vpn)) {
        var withDevice = function (name, delayed) {
            return function (device_id) {
                var entry = vpnSignals.enqueue(delayed);
                ORV.getDeviceByIdJson(device_id, function (device) {
                    vpnSignals.ready(entry, orvEvent(name, { device: device }));
                });
            };
        };
        // A refused start, or a device found offline, leaves a running tunnel up: the page then shows that tunnel
        // as it is, never "Not connected".
        var disconnected = function (reason) {
            return function () {
                var entry = vpnSignals.enqueue(true);
                ORV.vpn.getStatus(function (status) {
                    if (status === 2 || status === 3) {
                        app.tunnelEvent(status, function (event) {
                            vpnSignals.ready(entry, event);
                        });
                    } else {
                        vpnSignals.ready(entry, orvEvent(EVENT_VPN_DISCONNECTED, { reason: reason }));
                    }
                });
            };
        };
        ORV.vpn.onConnecting.connect(withDevice(EVENT_VPN_CONNECTING, false));
        ORV.vpn.onConnected.connect(withDevice(EVENT_VPN_CONNECTED, true));
        ORV.vpn.onDisconnected.connect(disconnected('onDisconnected'));
        ORV.vpn.onOperationNotPermitted.connect(disconnected('onOperationNotPermitted'));
        ORV.onVpnStartNotAuthenticated.connect(disconnected('onVpnStartNotAuthenticated'));
        ORV.onVpnStartInvalidDomain.connect(disconnected('onVpnStartInvalidDomain'));
        ORV.onVpnStartGetConfigError.connect(disconnected('onVpnStartGetConfigError'));
    }
}

// VPN signals reach the buffer in the order the program sent them. Connecting and connected first ask
// the program for their device; a disconnection that arrives meanwhile must not be overtaken by them,
// or the sidebar would show a tunnel that is already down as connected.
var vpnSignals = {
    pending: [],

    enqueue: function (delayed) {
        var entry = { event: null, delayed: delayed };
        vpnSignals.pending.push(entry);
        return entry;
    },

    ready: function (entry, event) {
        entry.event = event;
        while (vpnSignals.pending.length > 0 && vpnSignals.pending[0].event !== null) {
            var next = vpnSignals.pending.shift();
            ORV_EVENTS.vpn.addEventToDispatch(next.event, next.delayed);
        }
    }
};

document.addEventListener('DOMContentLoaded', function () {
    // The page has no dropdown menus. Bootstrap's handler that would close them runs on every click and key
    // release and looks for their toggles through the whole document, one walk over every row of the domain list.
    $(document).off('.dropdown.data-api');
    new QWebChannel(qt.webChannelTransport, function (webChannel) {
        channel = webChannel;
        ORV = webChannel.objects.ORV;
        connectSignals();
        app.loadTemplate();
    });
    ORV_EVENTS.addListener(EVENT_API_KEY_GET_SUCCESS, function (event) {
        console.log(event.detail);
    });
});
