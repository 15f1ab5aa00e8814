'use strict';

// Window event names: "ORV." + area + action (+ result); the data travels in the event's detail.
var EVENT_API_KEY_GET_SUCCESS = 'ORV.api.api_key.get.success';
var EVENT_API_KEY_GET_ERROR = 'ORV.api.api_key.get.error';
var EVENT_AUTH_LOGIN_SUCCESS = 'ORV.auth.login.success';
var EVENT_AUTH_LOGIN_ERROR = 'ORV.auth.login.error';
var EVENT_AUTH_LOGOUT = 'ORV.auth.logout';
var EVENT_LOAD_DOMAINS_SUCCESS = 'ORV.domains.load.success';
var EVENT_LOAD_DOMAINS_ERROR = 'ORV.domains.load.error';
var EVENT_RELOAD_DOMAINS_SUCCESS = 'ORV.domains.reload.success';
var EVENT_RELOAD_DOMAINS_ERROR = 'ORV.domains.reload.error';
var EVENT_VPN_CONNECTING = 'ORV.vpn.connecting';
var EVENT_VPN_CONNECTED = 'ORV.vpn.connected';
var EVENT_VPN_DISCONNECTED = 'ORV.vpn.disconnected';

var ORV_EVENTS = {
    dispatch: function (event) {
        window.dispatchEvent(event);
    },

    // The window keeps one registration per (name, callback) pair, so adding twice is harmless.
    addListener: function (event_type, callback) {
        window.addEventListener(event_type, callback);
    },

    removeListener: function (event_type, callback) {
        window.removeEventListener(event_type, callback);
    },

    // One-slot buffer: a VPN event that is followed within timeoutValue ms by another is never dispatched,
    // so a stop-then-start of the tunnel never flashes "disconnected" on screen.
    vpn: {
        timeout: null,
        timeoutValue: 200,
        eventToDispatch: null,

        addEventToDispatch: function (event, withTimeout) {
            var self = ORV_EVENTS.vpn;
            self.eventToDispatch = event;
            if (self.timeout !== null) {
                clearTimeout(self.timeout);
                self.timeout = null;
            }
            if (withTimeout) {
                self.timeout = setTimeout(function () {
                    self.timeout = null;
                    self.dispatchEvent();
                }, self.timeoutValue);
            } else {
                self.dispatchEvent();
            }
        },

        dispatchEvent: function () {
            var self = ORV_EVENTS.vpn;
            var event = self.eventToDispatch;
            self.eventToDispatch = null;
            if (event !== null) {
                ORV_EVENTS.dispatch(event);
            }
        }
    }
};

function orvEvent(name, detail) {
    return new CustomEvent(name, { detail: detail === undefined ? {} : detail });
}
